#include "Tavrel_Agent/Dialogs.h"

#include "core/Privileged.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QPointer>

namespace {
Dialogs::Hook& hook() {
    static Dialogs::Hook installed;
    return installed;
}
Dialogs::SaveFileHook& saveFileHook() {
    static Dialogs::SaveFileHook installed;
    return installed;
}
} // namespace

void Dialogs::setSaveFileHook(SaveFileHook hook) {
    saveFileHook() = std::move(hook);
}

QString Dialogs::askSaveFileName(QWidget* parent, const QString& title, const QString& suggestedPath) {
    if (saveFileHook())
        return saveFileHook()(suggestedPath);
    const QFileInfo suggested(suggestedPath);
    QFileDialog dialog(parent, title, suggested.path(), QStringLiteral("Text files (*.txt);;All files (*)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    dialog.selectFile(suggested.fileName());
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles().value(0);
}

void Dialogs::setHook(Hook newHook) {
    hook() = std::move(newHook);
}

QAbstractButton* Dialogs::run(QMessageBox& box) {
    if (hook())
        hook()(box);
    else
        box.exec();
    return box.clickedButton();
}

QString Dialogs::serviceFailureText(ServiceCommand command) {
    switch (command) {
    case ServiceCommand::Start:
        // Linux has no LaunchDaemon: the service is a systemd unit there.
#ifdef Q_OS_MACOS
        return QStringLiteral("Failed to start the service. Check that the LaunchDaemon is installed.");
#else
        return QStringLiteral("Failed to start the service. Check that the systemd service is installed.");
#endif
    case ServiceCommand::Stop:
        return QStringLiteral("Failed to stop the service.");
    case ServiceCommand::Restart:
        break;
    }
    return QStringLiteral("Failed to restart the service.");
}

void Dialogs::showServiceFailure(QWidget* parent, ServiceCommand command, const QString& reason) {
    const QString message = serviceFailureText(command);
    const bool hasParent = parent != nullptr;
    QMetaObject::invokeMethod(
        hasParent ? static_cast<QObject*>(parent) : QCoreApplication::instance(),
        [window = QPointer<QWidget>(parent), hasParent, message, reason] {
            if (hasParent && !window)
                return;
            QMessageBox box(QMessageBox::Warning, QStringLiteral("Tavrel Agent Service"), message,
                            QMessageBox::Ok, window);
            box.setObjectName(QStringLiteral("serviceFailureAlert"));
            box.setInformativeText(reason);
            box.setWindowModality(Qt::ApplicationModal);
            run(box);
        },
        Qt::QueuedConnection);
}
