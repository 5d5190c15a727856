#pragma once

#include "Tavrel_Agent/MainWindowDisplay.h"

#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

class ElidedLabel;
class QCloseEvent;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class SetupWindowController;
struct AgentConfig;
enum class ServiceCommand;

// The companion's main window: service state and agent identity, the service buttons, the
// Setup / Settings sheet and the live activity log. Closing it only hides it; the refresh timer
// and the log pane keep running for the whole session.
class MainWindowController final : public QWidget {
    Q_OBJECT
public:
    MainWindowController();

protected:
    void closeEvent(QCloseEvent* event) override;

private Q_SLOTS:
    // One refresh tick: the status panel, then the log pane.
    void tick();
    void refreshStatus();
    void tailLogFile();

    void startService();
    void stopService();
    void restartService();
    void copyComputerID();
    void openSettings();

private:
    void buildUI();
    void startTimer();
    void applyStatus(const AgentConfig& config, const QString& state);
    void runService(QPushButton* button, ServiceCommand command, const QString& failureText,
                    int recheckDelayMs);
    // The action's own message, with the reason the operation gave as the informative text.
    void showAlert(const QString& message, const QString& reason);
    void initLogTail();
    void appendLog(QStringList lines);

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
    QPlainTextEdit* logView = nullptr;
    quint64 logOffset = 0;
    LogPaneLines logLines;
    bool logPaneFilled = false; // some line has been queued for the pane
    QTimer* refreshTimer = nullptr;
};
