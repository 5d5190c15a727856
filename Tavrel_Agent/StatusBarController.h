#pragma once

#include "Tavrel_Agent/StatusMenuDisplay.h"
#include "Tavrel_Agent/StopNotice.h"

#include <QObject>

#include <memory>

class AgentState;
class QAction;
class QMenu;
class QSystemTrayIcon;
class StatusNotifierItem;
class TrayHostWatcher;
enum class ServiceCommand;
enum class TrayHost;

// The status icon and its menu: the agent's state and computer ID, Stop and Restart, the main
// window and Quit, as the agent state says. The icon lives while a tray host does: on
// a StatusNotifierItem host our own item, on an XEmbed tray or the macOS menu bar a
// QSystemTrayIcon, made anew whenever a host appears. Without a host the menu still follows the
// state, and nothing touches QSystemTrayIcon.
class StatusBarController final : public QObject {
    Q_OBJECT
public:
    explicit StatusBarController(AgentState& agentState, QObject* parent = nullptr);
    ~StatusBarController() override;

    QMenu* trayMenu() const { return menu.get(); }
    // The icon on an XEmbed tray or the macOS menu bar; none elsewhere.
    QSystemTrayIcon* trayIcon() const { return statusItem.get(); }
    // Whether some host shows the icon now, so that the menu can be reached through it.
    bool hasTrayIcon() const;
    // What can show the icon now.
    TrayHost trayHost() const;

    // Every change of the service state, old to new, with whether a stop or restart from this app
    // is under way. Notifies the user when the agent stopped by itself.
    void onStateChanged(const QString& oldState, const QString& newState, bool ownCommandInProgress);
    // A desktop notification, through the icon where it can show one.
    void notify(const QString& title, const QString& text, bool warning = true);

Q_SIGNALS:
    // "Open Tavrel Agent…" was chosen.
    void openMainWindowRequested();
    // "Save Support Report…" was chosen.
    void saveSupportReportRequested();
    // "Quit" was chosen: the delegate decides whether the app may end now.
    void quitRequested();

private:
    void buildMenu();
    void showState();
    void applyDisplay(const StatusMenuDisplay& display);
    void updateIcon(const QString& shownState);
    void stopService();
    void restartService();
    void runService(ServiceCommand command);
    void openWindow();
    void followTrayHost();
    void showCurrentDisplay();

    AgentState& state;
    // The menu outlives the tray icons that show it.
    std::unique_ptr<QMenu> menu;
    std::unique_ptr<QSystemTrayIcon> statusItem;
    std::unique_ptr<StatusNotifierItem> notifierItem;
    TrayHostWatcher* hostWatcher = nullptr;
    QAction* statusMenuItem = nullptr;
    QAction* computerIDMenuItem = nullptr;
    QAction* stopMenuItem = nullptr;
    QAction* restartMenuItem = nullptr;
    // What the menu shows, for an icon made later.
    StatusMenuDisplay shown;
    QString iconState; // the state the current icon shows
    StopNotice stopNotice;
};
