#include "Tavrel_Agent/StatusBarController.h"

#include "Tavrel_Agent/StatusMenuDisplay.h"
#include "Tavrel_Agent/ViewHelpers.h"
#include "core/AgentConfig.h"
#include "core/Privileged.h"
#include "core/ServiceControl.h"

#include <QCoreApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QImage>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {
constexpr int discSize = 18; // points
} // namespace

StatusBarController::StatusBarController(QObject* parent)
    : QObject(parent)
    , menu(std::make_unique<QMenu>())
    , statusItem(std::make_unique<QSystemTrayIcon>()) {
    buildMenu();
    statusItem->setContextMenu(menu.get());
#ifndef Q_OS_MACOS
    // Linux trays open the context menu on a right click only; a status item should answer the
    // primary click with its menu too, as on macOS. Wayland does not tell us where the pointer
    // is, so there the menu stays on the right click, placed by the panel.
    connect(statusItem.get(), &QSystemTrayIcon::activated, this,
            [this](QSystemTrayIcon::ActivationReason reason) {
                if (reason == QSystemTrayIcon::Trigger &&
                    !QGuiApplication::platformName().startsWith(QLatin1String("wayland")))
                    menu->popup(QCursor::pos());
            });
#endif
    statusItem->show();
    startRefreshTimer();
}

StatusBarController::~StatusBarController() = default;

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
        menu->addAction(QStringLiteral("Quit"), this, &StatusBarController::quitRequested);
    quitMenuItem->setObjectName(QStringLiteral("quitMenuItem"));
    quitMenuItem->setShortcut(QKeySequence::Quit);
    // Kept in this menu: a quit role would let macOS move it into the application menu.
    quitMenuItem->setMenuRole(QAction::NoRole);

    // No tooltip until the first check has been shown.
    updateIcon(initial.iconColor);
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
    statusMenuItem->setText(menuText(display.statusTitle));
    computerIDMenuItem->setText(menuText(display.computerIDTitle));
    stopMenuItem->setEnabled(display.stopEnabled);
    restartMenuItem->setEnabled(display.restartEnabled);
    statusItem->setToolTip(display.toolTip);
    updateIcon(display.iconColor);
}

void StatusBarController::updateIcon(const QColor& color) {
    statusItem->setIcon(discIcon(color));
}

QIcon StatusBarController::discIcon(const QColor& color) {
    QIcon icon;
    for (const int scale : {1, 2}) {
        QImage image(discSize * scale, discSize * scale, QImage::Format_ARGB32_Premultiplied);
        image.setDevicePixelRatio(scale);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        const QRectF bounds(0, 0, discSize, discSize);
        painter.setBrush(color);
        painter.drawEllipse(bounds.adjusted(2, 2, -2, -2));
        painter.setBrush(Qt::white);
        painter.drawEllipse(bounds.adjusted(6, 6, -6, -6));
        painter.end();
        icon.addPixmap(QPixmap::fromImage(image));
    }
    // Coloured on purpose: a theme must not recolour it as it would a symbolic (mask) icon.
    icon.setIsMask(false);
    return icon;
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
