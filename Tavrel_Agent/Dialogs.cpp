#include "Tavrel_Agent/Dialogs.h"

#include "core/Privileged.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontMetrics>
#include <QPointer>
#include <QRegularExpression>

#include <climits>

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
            // A sentence of its own, of at most four lines; the whole reason is on standard error.
            QString text = fitReason(
                {}, reason, {}, fitsInto(box.font(), QSize(420, 4 * QFontMetrics(box.font()).lineSpacing())));
            static const QRegularExpression ended(QStringLiteral("[.!?\u2026]$"));
            if (!text.contains(ended))
                text += QLatin1Char('.');
            box.setInformativeText(text);
            box.setWindowModality(Qt::ApplicationModal);
            run(box);
        },
        Qt::QueuedConnection);
}

QString Dialogs::fitReason(const QString& before, const QString& reason, const QString& after,
                           const Fits& fits) {
    if (fits(before + reason + after))
        return before + reason + after;
    // The most words of the reason that fit, found by halving: fewer words never take more room.
    const QStringList words = reason.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const auto cut = [&](qsizetype count) -> QString {
        return before + QStringList(words.mid(0, count)).join(QLatin1Char(' ')) + QChar(0x2026) + after;
    };
    qsizetype fitting = 0, tooMany = words.size();
    while (tooMany - fitting > 1) {
        const qsizetype middle = (fitting + tooMany) / 2;
        (fits(cut(middle)) ? fitting : tooMany) = middle;
    }
    return cut(fitting);
}

Dialogs::Fits Dialogs::fitsInto(const QFont& font, QSize box) {
    return [metrics = QFontMetrics(font), box](const QString& text) {
        const QRect needed = metrics.boundingRect(QRect(0, 0, box.width(), INT_MAX), Qt::TextWordWrap, text);
        return needed.width() <= box.width() && needed.height() <= box.height();
    };
}
