#pragma once

#include "core/AgentEnvironment.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

class AgentState;
class MainWindowController;
class QSessionManager;
class SetupWindowController;
class StatusBarController;
class QTimer;
class QWidget;

// True when one of the arguments, the program path included, is exactly "--tray".
bool hasTrayOption(const QStringList& arguments);

// The single-instance lock file for instanceKey: in the user's runtime directory, else in a
// private folder of ours under the temporary directory, else under the user's cache folder.
// Empty when none is safe to use.
QString instanceLockPath(const QString& instanceKey);

// Owns the status menu and the main window for the whole run.
class AppDelegate final : public QObject {
    Q_OBJECT
public:
    AppDelegate();
    ~AppDelegate() override;

    // Creates the status menu and, unless started with "--tray", shows the main window.
    void applicationDidFinishLaunching(const QStringList& arguments);
    // Creates the main window on first use and brings it to the front.
    void showMainWindow();
    // Asks where to save a support report, over parent if given, and saves it.
    void saveSupportReport(QWidget* parent);
    // Ends the app, unless a registration the server made is not stored yet and the user
    // cancels its discarding. Every way of quitting comes here: the status menu, the window's
    // close without a tray, and the platform's own quit (unasked once the session manager has
    // ended the session without interaction).
    void quit();
    // At the end of the session: whether it may end. Only when a registration is not stored
    // yet does it ask the session manager for interaction (allowsInteraction), and then the
    // user; without interaction the session ends.
    bool sessionMayEnd(const std::function<bool()>& allowsInteraction);

    AgentState* agentState() const { return state.get(); }
    StatusBarController* statusBar() const { return statusBarController.get(); }
    MainWindowController* mainWindow() const { return mainWindowController.get(); }

    // Started with "--tray" but no system tray yet: how long to wait for one (a panel that
    // starts after us at login) before showing the main window instead.
    static constexpr int trayWaitIntervalMs = 500;
    static constexpr int trayWaitLimitMs = 10000;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void waitForSystemTray();
    void commitData(QSessionManager& manager);
    // The open Setup / Settings sheet, if any.
    SetupWindowController* openSheet() const;

    // Declared first: the controllers that show it go before it.
    std::unique_ptr<AgentState> state;
    std::unique_ptr<StatusBarController> statusBarController;
    std::unique_ptr<MainWindowController> mainWindowController;
    QTimer* trayWaitTimer = nullptr;
    int trayWaitedMs = 0;
    bool quitting = false;
    // The session manager let the session end without asking: its quit follows, unasked.
    bool sessionEnding = false;
};

// Entry point shared by tavrel-agent and the sandboxed demo: single-instance rule (a lock named
// after instanceKey), then the application on the given environment.
int runTavrelApp(int argc, char* argv[], AgentEnvironment environment, const QString& instanceKey);
