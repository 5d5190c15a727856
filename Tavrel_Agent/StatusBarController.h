#pragma once

#include <QIcon>
#include <QObject>

#include <memory>

class QAction;
class QColor;
class QMenu;
class QSystemTrayIcon;
class QTimer;
struct StatusMenuDisplay;

// The status icon in the system tray and its menu: the agent's state and computer ID, Stop and
// Restart, the main window and Quit. Re-checks the state every 3 seconds. Without a system tray
// the menu and its refresh still run, so the icon appears as soon as a tray does.
class StatusBarController final : public QObject {
    Q_OBJECT
public:
    explicit StatusBarController(QObject* parent = nullptr);
    ~StatusBarController() override;

    QMenu* trayMenu() const { return menu.get(); }
    QSystemTrayIcon* trayIcon() const { return statusItem.get(); }

    // The status disc: 18 × 18 points at 1x and 2x, a 14-point disc in the colour with a 6-point
    // white dot in the middle.
    static QIcon discIcon(const QColor& color);

Q_SIGNALS:
    // "Open Tavrel Agent…" was chosen.
    void openMainWindowRequested();
    // "Quit" was chosen: the delegate decides whether the app may end now.
    void quitRequested();

private:
    void buildMenu();
    void startRefreshTimer();
    void refresh();
    void applyDisplay(const StatusMenuDisplay& display);
    void updateIcon(const QColor& color);
    void stopService();
    void restartService();
    void openWindow();

    // The menu outlives the tray icon that shows it.
    std::unique_ptr<QMenu> menu;
    std::unique_ptr<QSystemTrayIcon> statusItem;
    QAction* statusMenuItem = nullptr;
    QAction* computerIDMenuItem = nullptr;
    QAction* stopMenuItem = nullptr;
    QAction* restartMenuItem = nullptr;
    QTimer* refreshTimer = nullptr;
};
