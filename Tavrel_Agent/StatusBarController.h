#pragma once

#include <QIcon>
#include <QObject>

#include <memory>

class AgentState;
class QAction;
class QColor;
class QMenu;
class QSystemTrayIcon;
struct StatusMenuDisplay;
enum class ServiceCommand;

// The status icon in the system tray and its menu: the agent's state and computer ID, Stop and
// Restart, the main window and Quit. Shows what the agent state says. Without a system tray the
// menu still follows it, so the icon appears as soon as a tray does.
class StatusBarController final : public QObject {
    Q_OBJECT
public:
    explicit StatusBarController(AgentState& agentState, QObject* parent = nullptr);
    ~StatusBarController() override;

    QMenu* trayMenu() const { return menu.get(); }
    QSystemTrayIcon* trayIcon() const { return statusItem.get(); }

    // The status disc: 18 × 18 points at 1x and 2x, a 14-point disc in the colour with a 6-point
    // white dot in the middle.
    static QIcon discIcon(const QColor& color);

Q_SIGNALS:
    // "Open Tavrel Agent…" was chosen.
    void openMainWindowRequested();

private:
    void buildMenu();
    void showState();
    void applyDisplay(const StatusMenuDisplay& display);
    void updateIcon(const QColor& color);
    void stopService();
    void restartService();
    void runService(ServiceCommand command);
    void openWindow();

    AgentState& state;
    // The menu outlives the tray icon that shows it.
    std::unique_ptr<QMenu> menu;
    std::unique_ptr<QSystemTrayIcon> statusItem;
    QAction* statusMenuItem = nullptr;
    QAction* computerIDMenuItem = nullptr;
    QAction* stopMenuItem = nullptr;
    QAction* restartMenuItem = nullptr;
};
