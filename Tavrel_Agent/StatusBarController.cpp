#include "Tavrel_Agent/StatusBarController.h"

#include "Tavrel_Agent/StatusIcon.h"
#include "Tavrel_Agent/TrayHost.h"
#include "Tavrel_Agent/ViewHelpers.h"
#include "core/AgentConfig.h"
#include "core/Privileged.h"
#include "core/ServiceControl.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>

#if defined(TAVREL_STATUS_NOTIFIER)
#include "Tavrel_Agent/StatusNotifierItem.h"

#include <QDBusConnection>
#include <QDBusMessage>
#endif

StatusBarController::StatusBarController(QObject* parent)
    : QObject(parent)
    , menu(std::make_unique<QMenu>()) {
    buildMenu();
    hostWatcher = new TrayHostWatcher(this);
    connect(hostWatcher, &TrayHostWatcher::hostChanged, this, &StatusBarController::followTrayHost);
    followTrayHost();
    startRefreshTimer();
}

StatusBarController::~StatusBarController() = default;

bool StatusBarController::hasTrayIcon() const {
    return statusItem || notifierItem;
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
    menu->addSeparator();

    QAction* quitMenuItem =
        menu->addAction(QStringLiteral("Quit"), QCoreApplication::instance(), &QCoreApplication::quit);
    quitMenuItem->setObjectName(QStringLiteral("quitMenuItem"));
    quitMenuItem->setShortcut(QKeySequence::Quit);
    // Kept in this menu: a quit role would let macOS move it into the application menu.
    quitMenuItem->setMenuRole(QAction::NoRole);

    // A stop or restart from here is no reason to tell the user that the agent stopped.
    connect(stopMenuItem, &QAction::triggered, this, [this] { commandStarted(stopRecheckDelayMs); });
    connect(restartMenuItem, &QAction::triggered, this, [this] { commandStarted(restartRecheckDelayMs); });

    // No tooltip until the first check has been shown.
    shown = initial;
}

void StatusBarController::startRefreshTimer() {
    // The first check runs now; its display update follows once the event loop runs.
    refreshTimer = ::startRefreshTimer(this, [this] { refresh(); });
}

void StatusBarController::refresh() {
    const QString state = getAgentServiceStatus();
    const AgentConfig config = AgentConfig::load();
    // Bound to this object: the update is dropped if the controller is gone by then.
    QMetaObject::invokeMethod(
        this, [this, display = statusMenuDisplay(state, config.computerID)] { applyDisplay(display); },
        Qt::QueuedConnection);
}

void StatusBarController::applyDisplay(const StatusMenuDisplay& display) {
    const QString oldState = shown.state;
    shown = display;
    statusMenuItem->setText(menuText(display.statusTitle));
    computerIDMenuItem->setText(menuText(display.computerIDTitle));
    stopMenuItem->setEnabled(display.stopEnabled);
    restartMenuItem->setEnabled(display.restartEnabled);
    showCurrentDisplay();

    // Under way from the command until the display its re-check brought, that one included.
    const bool ownCommand = ownCommandClock.isValid();
    if (ownCommand && ownCommandClock.elapsed() >= ownCommandRecheckMs)
        ownCommandClock.invalidate();
    if (display.state != oldState)
        onStateChanged(oldState, display.state, ownCommand);
}

void StatusBarController::commandStarted(int recheckDelayMs) {
    // Triggered after the command has returned, as its re-check is scheduled.
    ownCommandClock.start();
    ownCommandRecheckMs = recheckDelayMs;
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

void StatusBarController::updateIcon(const QString& state) {
    // Drawn when the state changes only: every size costs, and hosts fetch the pictures anew.
    if (state == iconState)
        return;
    iconState = state;
    if (statusItem)
        statusItem->setIcon(StatusIcon::icon(state));
#if defined(TAVREL_STATUS_NOTIFIER)
    if (notifierItem)
        notifierItem->setIcon(StatusIcon::images(state));
#endif
}

void StatusBarController::onStateChanged(const QString& oldState, const QString& newState,
                                         bool ownCommandInProgress) {
    if (stopNotice.stateChanged(oldState, newState, ownCommandInProgress, StopNotice::Clock::now()))
        notify(StopNotice::title(), StopNotice::text());
}

void StatusBarController::notify(const QString& title, const QString& text) {
    if (statusItem) {
        statusItem->showMessage(title, text, QSystemTrayIcon::Warning);
        return;
    }
#if defined(TAVREL_STATUS_NOTIFIER)
    // A StatusNotifierItem has no messages of its own: the desktop's notification service shows them.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    call << QCoreApplication::applicationName() << 0U << QStringLiteral("dialog-warning") << title << text
         << QStringList() << QVariantMap() << -1;
    QDBusConnection::sessionBus().send(call);
#endif
}

void StatusBarController::stopService() {
    // A refused or failed command shows only as the unchanged state at the re-check.
    (void)runServiceCommand(ServiceCommand::Stop);
    scheduleRecheck(this, stopRecheckDelayMs, [this] { refresh(); });
}

void StatusBarController::restartService() {
    (void)runServiceCommand(ServiceCommand::Restart);
    scheduleRecheck(this, restartRecheckDelayMs, [this] { refresh(); });
}

void StatusBarController::openWindow() {
    Q_EMIT openMainWindowRequested();
}
