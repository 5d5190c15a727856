#include "Tavrel_Agent/SupportReportFlow.h"

#include "Tavrel_Agent/AgentState.h"
#include "Tavrel_Agent/Dialogs.h"
#include "Tavrel_Agent/StatusBarController.h"
#include "Tavrel_Agent/TrayHost.h"
#include "core/AgentEnvironment.h"

#include <QDateTime>
#include <QDir>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProcessEnvironment>
#include <QStandardPaths>

#if defined(TAVREL_STATUS_NOTIFIER)
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#endif

namespace {

#if defined(TAVREL_STATUS_NOTIFIER)
bool polkitOn(const QDBusConnection& bus) {
    return bus.isConnected() && bus.interface() &&
           bus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.PolicyKit1")).value();
}
#endif

QString yesNo(bool value) {
    return value ? QStringLiteral("yes") : QStringLiteral("no");
}

QString authenticationAgentText() {
#if defined(TAVREL_STATUS_NOTIFIER)
    const bool system = polkitOn(QDBusConnection::systemBus()),
               session = polkitOn(QDBusConnection::sessionBus());
    QString text = yesNo(SupportReportFlow::authenticationAgentAvailable()) +
                   QStringLiteral(" (org.freedesktop.PolicyKit1 on the system bus: ") + yesNo(system) +
                   QStringLiteral(", on the session bus: ") + yesNo(session) + u')';
    if (AgentEnvironment::current().privilegeMethod == PrivilegeMethod::Direct)
        text += QStringLiteral("; not needed: root operations run the helper directly");
    return text;
#else
    return QStringLiteral("the system's own (osascript)");
#endif
}

QString trayHostText(const StatusBarController& statusBar) {
    QString text;
    switch (statusBar.trayHost()) {
    case TrayHost::StatusNotifier:
        text = QStringLiteral("StatusNotifierItem");
        break;
    case TrayHost::XEmbed:
        text = QStringLiteral("XEmbed");
        break;
    case TrayHost::Native:
        text = QStringLiteral("the menu bar");
        break;
    case TrayHost::None:
        return QStringLiteral("none");
    }
    return statusBar.hasTrayIcon() ? text : text + QStringLiteral(" (the icon could not be shown)");
}

} // namespace

QString SupportReportFlow::suggestedPath(const QDateTime& now) {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    if (folder.isEmpty() || !QDir(folder).exists())
        folder = QDir::homePath();
    return QDir(folder).filePath(SupportReport::fileName(now));
}

bool SupportReportFlow::authenticationAgentAvailable() {
#if defined(TAVREL_STATUS_NOTIFIER)
    return polkitOn(QDBusConnection::systemBus()) || polkitOn(QDBusConnection::sessionBus());
#else
    return true; // osascript's own prompt
#endif
}

SupportReport::AppFacts SupportReportFlow::appFacts(const AgentState& state,
                                                    const StatusBarController& statusBar) {
    return {
        .qtVersion = QString::fromLatin1(qVersion()),
        .platformPlugin = QGuiApplication::platformName(),
        .trayHost = trayHostText(statusBar),
        .authenticationAgent = authenticationAgentText(),
        .serviceState = state.serviceText(),
    };
}

void SupportReportFlow::save(QWidget* parent, const AgentState& state, StatusBarController& statusBar) {
    const QString path = Dialogs::askSaveFileName(parent, QStringLiteral("Save Support Report"),
                                                  suggestedPath(QDateTime::currentDateTimeUtc()));
    if (path.isEmpty())
        return;
    // Read now, after the dialog: every value is as it is when the report is made.
    const SupportReport::Facts facts =
        SupportReport::gather(appFacts(state, statusBar), QProcessEnvironment::systemEnvironment());
    const Outcome written = SupportReport::write(
        path, SupportReport::redact(SupportReport::build(facts), SupportReport::secrets()));
    if (written) {
        statusBar.notify(QStringLiteral("Support report saved"), QDir::toNativeSeparators(path), false);
        return;
    }
    QMessageBox box(
        QMessageBox::Warning, QStringLiteral("Tavrel Agent"),
        QStringLiteral("The support report could not be saved to %1.").arg(QDir::toNativeSeparators(path)),
        QMessageBox::Ok, parent);
    box.setObjectName(QStringLiteral("supportReportFailureAlert"));
    box.setInformativeText(written.message);
    box.setWindowModality(Qt::ApplicationModal);
    Dialogs::run(box);
}
