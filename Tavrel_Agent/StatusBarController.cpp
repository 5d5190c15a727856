#include "Tavrel_Agent/StatusBarController.h"

#include "Tavrel_Agent/AgentState.h"
#include "Tavrel_Agent/Dialogs.h"
#include "Tavrel_Agent/StatusIcon.h"
#include "Tavrel_Agent/TrayHost.h"
#include "Tavrel_Agent/ViewHelpers.h"
#include "core/Privileged.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>

#if defined(TAVREL_STATUS_NOTIFIER)
#include "Tavrel_Agent/StatusNotifierItem.h"

#include <QDBusConnection>
#include <QDBusMessage>
#endif

StatusBarController::StatusBarController(AgentState& agentState, QObject* parent)
    : QObject(parent)
    , state(agentState)
    , menu(std::make_unique<QMenu>()) {
    buildMenu();
    hostWatcher = new TrayHostWatcher(this);
    connect(hostWatcher, &TrayHostWatcher::hostChanged, this, &StatusBarController::followTrayHost);
    followTrayHost();
    connect(&state, &AgentState::changed, this, &StatusBarController::showState);
    connect(&state, &AgentState::rootOperationRunningChanged, this, &StatusBarController::showState);
    // "Checking" until the state's first look has been published.
    if (state.service() != AgentState::Service::Checking)
        showState();
}

StatusBarController::~StatusBarController() = default;

bool StatusBarController::hasTrayIcon() const {
    return statusItem || notifierItem;
}

TrayHost StatusBarController::trayHost() const {
    return hostWatcher->host();
}

void StatusBarController::followTrayHost() {
    const TrayHost host = hostWatcher->host();
    // Made anew for each host: an item registered with a watcher that went away is forgotten by
    // its successor, and Qt's XEmbed icon is tied to the tray it first docked into.
    statusItem.reset();
    notifierItem.reset();
    iconState.clear();
#if defined(TAVREL_STATUS_NOTIFIER)
    if (host == TrayHost::StatusNotifier) {
        notifierItem = std::make_unique<StatusNotifierItem>(menu.get());
        connect(notifierItem.get(), &StatusNotifierItem::activated, this, [this](const QPoint& position) {
            // Hosts show the exported menu themselves; this is for one that asks us to.
            if (!QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
                menu->popup(position);
        });
        if (!notifierItem->registerWithWatcher())
            notifierItem.reset();
    }
#endif
    if (host == TrayHost::XEmbed || host == TrayHost::Native) {
        statusItem = std::make_unique<QSystemTrayIcon>();
        statusItem->setContextMenu(menu.get());
#ifndef Q_OS_MACOS
        // XEmbed trays open the context menu on a right click only; a status item should answer
        // the primary click with its menu too, as on macOS.
        connect(statusItem.get(), &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason reason) {
                    if (reason == QSystemTrayIcon::Trigger)
                        menu->popup(QCursor::pos());
                });
#endif
    }
    showCurrentDisplay();
    if (statusItem)
        statusItem->show();
}

void StatusBarController::buildMenu() {
    menu->setObjectName(QStringLiteral("statusMenu"));
    const StatusMenuDisplay initial = initialStatusMenuDisplay();

    statusMenuItem = menu->addAction(initial.statusTitle);
    statusMenuItem->setObjectName(QStringLiteral("statusMenuItem"));
    statusMenuItem->setEnabled(false);
    computerIDMenuItem = menu->addAction(initial.computerIDTitle);
    computerIDMenuItem->setObjectName(QStringLiteral("computerIDMenuItem"));
    computerIDMenuItem->setEnabled(false);
    menu->addSeparator();

    stopMenuItem = menu->addAction(QStringLiteral("Stop Service"), this, &StatusBarController::stopService);
    stopMenuItem->setObjectName(QStringLiteral("stopMenuItem"));
    stopMenuItem->setEnabled(initial.stopEnabled);
    restartMenuItem =
        menu->addAction(QStringLiteral("Restart Service"), this, &StatusBarController::restartService);
    restartMenuItem->setObjectName(QStringLiteral("restartMenuItem"));
    restartMenuItem->setEnabled(initial.restartEnabled);
    menu->addSeparator();

    QAction* openWindowMenuItem =
        menu->addAction(QStringLiteral("Open Tavrel Agent\u2026"), this, &StatusBarController::openWindow);
    openWindowMenuItem->setObjectName(QStringLiteral("openWindowMenuItem"));
    QAction* saveReportMenuItem = menu->addAction(QStringLiteral("Save Support Report\u2026"), this,
                                                  &StatusBarController::saveSupportReportRequested);
    saveReportMenuItem->setObjectName(QStringLiteral("saveReportMenuItem"));
    menu->addSeparator();

    QAction* quitMenuItem =
        menu->addAction(QStringLiteral("Quit"), this, &StatusBarController::quitRequested);
    quitMenuItem->setObjectName(QStringLiteral("quitMenuItem"));
    quitMenuItem->setShortcut(QKeySequence::Quit);
    // Kept in this menu: a quit role would let macOS move it into the application menu.
    quitMenuItem->setMenuRole(QAction::NoRole);

    // No tooltip until the first check has been shown.
    shown = initial;
}

void StatusBarController::showState() {
    StatusMenuDisplay display = statusMenuDisplay(state.serviceText(), state.config().computerID);
    // One root operation at a time.
    display.stopEnabled = display.stopEnabled && !state.rootOperationRunning();
    display.restartEnabled = display.restartEnabled && !state.rootOperationRunning();
    applyDisplay(display);
}

void StatusBarController::applyDisplay(const StatusMenuDisplay& display) {
    const QString oldState = shown.state;
    shown = display;
    statusMenuItem->setText(menuText(display.statusTitle));
    computerIDMenuItem->setText(menuText(display.computerIDTitle));
    stopMenuItem->setEnabled(display.stopEnabled);
    restartMenuItem->setEnabled(display.restartEnabled);
    showCurrentDisplay();
    // A stop or restart from this app, from the menu or the window, is no news to the user.
    if (display.state != oldState)
        onStateChanged(oldState, display.state, state.ownStopInProgress());
}

void StatusBarController::showCurrentDisplay() {
    updateIcon(shown.state);
    if (statusItem)
        statusItem->setToolTip(shown.toolTipText.isEmpty() ? shown.toolTip
                                                           : shown.toolTip + u'\n' + shown.toolTipText);
#if defined(TAVREL_STATUS_NOTIFIER)
    if (notifierItem)
        notifierItem->setToolTip(shown.toolTip, shown.toolTipText);
#endif
}

void StatusBarController::updateIcon(const QString& shownState) {
    // Drawn when the state changes only: every size costs, and hosts fetch the pictures anew.
    if (shownState == iconState)
        return;
    iconState = shownState;
    if (statusItem)
        statusItem->setIcon(StatusIcon::icon(shownState));
#if defined(TAVREL_STATUS_NOTIFIER)
    if (notifierItem)
        notifierItem->setIcon(StatusIcon::images(shownState));
#endif
}

void StatusBarController::onStateChanged(const QString& oldState, const QString& newState,
                                         bool ownCommandInProgress) {
    if (stopNotice.stateChanged(oldState, newState, ownCommandInProgress, StopNotice::Clock::now()))
        notify(StopNotice::title(), StopNotice::text());
}

void StatusBarController::notify(const QString& title, const QString& text, bool warning) {
    if (statusItem) {
        statusItem->showMessage(title, text,
                                warning ? QSystemTrayIcon::Warning : QSystemTrayIcon::Information);
        return;
    }
#if defined(TAVREL_STATUS_NOTIFIER)
    // A StatusNotifierItem has no messages of its own: the desktop's notification service shows them.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QCoreApplication::applicationName() << 0U
         << (warning ? QStringLiteral("dialog-warning") : QStringLiteral("dialog-information")) << title
         << text << QStringList() << QVariantMap() << -1;
    QDBusConnection::sessionBus().send(call);
#endif
}

void StatusBarController::stopService() {
    runService(ServiceCommand::Stop);
}

void StatusBarController::restartService() {
    runService(ServiceCommand::Restart);
}

void StatusBarController::runService(ServiceCommand command) {
    // The same alert as the main window's button, with no window behind it.
    state.runServiceCommand(command, this, [command](const Outcome& outcome) {
        if (!outcome)
            Dialogs::showServiceFailure(nullptr, command, outcome.message);
    });
}

void StatusBarController::openWindow() {
    Q_EMIT openMainWindowRequested();
}
