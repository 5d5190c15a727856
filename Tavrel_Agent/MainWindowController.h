#pragma once

#include "Tavrel_Agent/MainWindowDisplay.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

class AgentState;
class ElidedLabel;
class QCloseEvent;
class QFileSystemWatcher;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class SetupWindowController;
enum class ServiceCommand;

// The companion's main window: service state and agent identity, the service buttons, the
// Setup / Settings sheet and the live activity log. Closing it only hides it; it follows the
// agent state for the whole session, and the log while it is shown.
class MainWindowController final : public QWidget {
    Q_OBJECT
public:
    // A log that keeps growing is read after this long, then twice as long each time it has grown
    // again, up to the 3-second look: the first line after a quiet spell shows at once, and a
    // flood costs no more than the old 3-second follow.
    static constexpr int firstLogPaceMs = 250;

    explicit MainWindowController(AgentState& agentState);

Q_SIGNALS:
    // "Save Support Report…": its shortcut or the window's context menu.
    void saveSupportReportRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private Q_SLOTS:
    void showState();

    void startService();
    void stopService();
    void restartService();
    void copyComputerID();
    void openSettings();

private:
    void buildUI();
    void runService(QPushButton* button, ServiceCommand command);
    void initLogTail();
    // Whether new lines (or the end of a line) were read.
    bool tailLogFile();
    void followLog(bool follow);
    void watchLog();
    void logChanged();
    void appendLog(QStringList lines);
    void dropOldestLogLines(int count);

    AgentState& state;
    ElidedLabel* lblServiceStatus = nullptr;
    ElidedLabel* lblComputerName = nullptr;
    QLineEdit* txtComputerID = nullptr;
    ElidedLabel* lblClientName = nullptr;
    ElidedLabel* lblLocationName = nullptr;
    ElidedLabel* lblApiUrl = nullptr;
    ElidedLabel* lblAgentVersion = nullptr;
    ElidedLabel* lblRegStatus = nullptr;
    QPushButton* btnStart = nullptr;
    QPushButton* btnStop = nullptr;
    QPushButton* btnRestart = nullptr;
    QPushButton* btnSettings = nullptr;
    QPushButton* btnCopy = nullptr;
    QPointer<SetupWindowController> setupWindowController;
    // The button of the last service command stays disabled until a look after it has ended.
    QPointer<QPushButton> commandButton;
    bool commandEnded = false;
    QPlainTextEdit* logView = nullptr;
    quint64 logOffset = 0;
    LogPaneLines logLines;
    bool logPaneFilled = false; // some line has been queued for the pane
    bool followingLog = false;  // shown: hidden or minimised, the pane reads nothing
    QFileSystemWatcher* logWatcher = nullptr;
    QTimer* logPace = nullptr; // running while a growing log is not listened to
};
