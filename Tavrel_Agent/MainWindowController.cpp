#include "Tavrel_Agent/MainWindowController.h"

#include "Tavrel_Agent/AgentState.h"
#include "Tavrel_Agent/Dialogs.h"
#include "Tavrel_Agent/MainWindowDisplay.h"
#include "Tavrel_Agent/ScreenFit.h"
#include "Tavrel_Agent/SetupWindowController.h"
#include "Tavrel_Agent/ViewHelpers.h"
#include "core/AgentConfig.h"
#include "core/AgentEnvironment.h"
#include "core/Logger.h"
#include "core/Privileged.h"
#include "core/ServiceControl.h"
#include "core/SystemInfo.h"
#include "core/Version.h"

#include <QAction>
#include <QClipboard>
#include <QCloseEvent>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>

#include <algorithm>

namespace {
constexpr int initialLogLines = 80;
constexpr int maxLogLines = 300;
constexpr int logFontPixelSize = 8;
constexpr quint64 cutMarkBytes = 3; // U+2026 in UTF-8
} // namespace

MainWindowController::MainWindowController(AgentState& agentState)
    : state(agentState) {
    setWindowTitle(QStringLiteral("Tavrel Agent Service"));
    // Minimisable and closable, never resizable.
    setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    buildUI();
    auto* saveReport = new QAction(QStringLiteral("Save Support Report\u2026"), this);
    saveReport->setObjectName(QStringLiteral("saveReportAction"));
    saveReport->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_S));
    connect(saveReport, &QAction::triggered, this, &MainWindowController::saveSupportReportRequested);
    addAction(saveReport);
    setContextMenuPolicy(Qt::ActionsContextMenu);
    // 540 × 780 where the screen has room; on a smaller one the window fits it and scrolls.
    new ScreenFit(this, QSize(540, 780));
    if (const QScreen* screen = this->screen())
        move(screen->availableGeometry().center() - rect().center());
    initLogTail();
    // The file system tells of the log's growth; a log that keeps growing is read at a pace
    // instead of at every write.
    logWatcher = new QFileSystemWatcher(this);
    logWatcher->setObjectName(QStringLiteral("logWatcher"));
    connect(logWatcher, &QFileSystemWatcher::fileChanged, this, &MainWindowController::logChanged);
    connect(logWatcher, &QFileSystemWatcher::directoryChanged, this, &MainWindowController::logChanged);
    logPace = new QTimer(this);
    logPace->setObjectName(QStringLiteral("logPace"));
    logPace->setSingleShot(true);
    connect(logPace, &QTimer::timeout, this, [this] {
        watchLog();
        if (tailLogFile()) {
            logWatcher->removePath(AgentEnvironment::current().logPath);
            logPace->start(std::min(logPace->interval() * 2, statusRefreshIntervalMs));
        }
    });
    showState();
    connect(&state, &AgentState::changed, this, &MainWindowController::showState);
    connect(&state, &AgentState::rootOperationRunningChanged, this, &MainWindowController::showState);
    connect(&state, &AgentState::refreshed, this, [this] {
        if (commandButton && commandEnded) {
            commandButton = nullptr;
            showState();
        }
        // A log the file system does not tell of (missing, or it could not be watched) is read at
        // every look while shown. A growing log waiting for its pace is left to the pace.
        if (followingLog && !logPace->isActive() &&
            !logWatcher->files().contains(AgentEnvironment::current().logPath)) {
            watchLog();
            tailLogFile();
        }
    });
    // A window that opens looks at once, unless a look is on its way already (the first one, when
    // the window opens with the app): one search of the processes is enough for the first paint.
    if (!state.lookPending())
        state.refresh();
}

void MainWindowController::closeEvent(QCloseEvent* event) {
    // Closing only hides: the refresh carries on, and the app keeps running.
    hide();
    event->ignore();
}

// Also when the window is minimised and restored.
void MainWindowController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    followLog(true);
}

void MainWindowController::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    followLog(false);
}

void MainWindowController::buildUI() {
    addHeader(this, QRect(0, 0, 540, 77), QRect(10, 10, 57, 57), QStringLiteral("Tavrel Agent Service"),
              QRect(78, 33, 440, 24), Style::systemFontSize);
    addAccentStripe(this, QRect(0, 77, 540, 3));

    BorderedBox* box = addBox(this, "identityBox", QRect(16, 94, 492, 199), QStringLiteral("Agent identity"));
    // The identity rows, 24 apart, each value named by its row's label. The computer ID is a
    // selectable field, so that it can also be copied by hand.
    const struct {
        const char* label;
        const char* name;
        ElidedLabel* MainWindowController::*value; // none: the computer ID field
    } rows[] = {
        {"Service Status:", "lblServiceStatus", &MainWindowController::lblServiceStatus},
        {"Computer:", "lblComputerName", &MainWindowController::lblComputerName},
        {"Computer ID:", "txtComputerID", nullptr},
        {"Client Name:", "lblClientName", &MainWindowController::lblClientName},
        {"Location Name:", "lblLocationName", &MainWindowController::lblLocationName},
        {"API URL:", "lblApiUrl", &MainWindowController::lblApiUrl},
        {"Agent Version:", "lblAgentVersion", &MainWindowController::lblAgentVersion},
    };
    int y = 10;
    for (const auto& row : rows) {
        ElidedLabel* label = addBoldLabel(box, QString::fromLatin1(row.label), QRect(10, y, 120, 18));
        QWidget* value = nullptr;
        if (row.value)
            value = this->*row.value = addValueLabel(box, QRect(136, y, 342, 18));
        else
            value = txtComputerID = addSelectableValue(box, QRect(136, y, 230, 18),
                                                       Style::monospaceFont(Style::smallSystemFontSize));
        value->setObjectName(QLatin1String(row.name));
        nameByRow(label, value);
        if (value == txtComputerID) {
            btnCopy = addButton(box, "btnCopy", QStringLiteral("Copy"), QRect(374, y - 2, 104, 24),
                                QStringLiteral("Copies the computer ID to the clipboard."));
            connect(btnCopy, &QPushButton::clicked, this, &MainWindowController::copyComputerID);
        }
        y += 24;
    }

    // Filled once: neither changes while the app runs.
    lblComputerName->setText(SystemInfo::computerName());
    lblAgentVersion->setText(appVersion());

    lblRegStatus = addLabel(this, QString(), QRect(16, 299, 492, 22), Style::boldSystemFont());
    lblRegStatus->setObjectName(QStringLiteral("lblRegStatus"));
    lblRegStatus->setStatusLine(QStringLiteral("Registration"));

    ElidedLabel* serviceControl = sectionLabel(QStringLiteral("Service Control"), 16, 329);
    serviceControl->setParent(this);

    btnStart = addButton(this, "btnStart", QStringLiteral("Start"), QRect(16, 351, 100, 28),
                         QStringLiteral("Starts the agent service. Asks for an administrator password."));
    connect(btnStart, &QPushButton::clicked, this, &MainWindowController::startService);
    btnStop = addButton(this, "btnStop", QStringLiteral("Stop"), QRect(126, 351, 100, 28),
                        QStringLiteral("Stops the agent service. Asks for an administrator password."));
    connect(btnStop, &QPushButton::clicked, this, &MainWindowController::stopService);
    btnRestart = addButton(this, "btnRestart", QStringLiteral("Restart"), QRect(236, 351, 100, 28),
                           QStringLiteral("Restarts the agent service. Asks for an administrator password."));
    connect(btnRestart, &QPushButton::clicked, this, &MainWindowController::restartService);
    btnSettings = addButton(this, "btnSettings", QStringLiteral("Setup / Settings"), QRect(16, 391, 160, 28));
    connect(btnSettings, &QPushButton::clicked, this, &MainWindowController::openSettings);

    ElidedLabel* activityLog = sectionLabel(QStringLiteral("Activity Log"), 16, 437);
    activityLog->setParent(this);

    logView = new QPlainTextEdit(this);
    logView->setObjectName(QStringLiteral("logView"));
    logView->setGeometry(16, 459, 492, 200);
    nameByRow(activityLog, logView);
    logView->setAccessibleDescription(QStringLiteral("The agent's latest activity, newest line last."));
    logView->setReadOnly(true);
    logView->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    logView->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    logView->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    logView->setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    logView->setMaximumBlockCount(maxLogLines);
    // The style draws no focus on a text pane, and a blinking caret alone is easy to miss.
    logView->setStyleSheet(QStringLiteral("QPlainTextEdit:focus { border: 1px solid palette(highlight); }"));
    logView->setUndoRedoEnabled(false);
    logView->setFont(Style::monospaceFont(logFontPixelSize));
    {
        QPalette palette = logView->palette();
        palette.setColor(QPalette::Base, QColor(18, 18, 18));
        palette.setColor(QPalette::Text, QColor(0, 220, 80));
        logView->setPalette(palette);
    }
}

void MainWindowController::showState() {
    const AgentConfig& config = state.config();
    const MainWindowDisplay display = mainWindowDisplay(config, state.serviceText());
    // Setting the same text again would drop the user's selection every three seconds.
    if (txtComputerID->text() != display.computerID) {
        txtComputerID->setText(display.computerID);
        txtComputerID->setCursorPosition(0);
        // A long ID does not fit the field; the tooltip shows all of it.
        txtComputerID->setToolTip(config.computerID);
    }
    lblClientName->setText(display.clientName);
    lblLocationName->setText(display.locationName);
    lblApiUrl->setText(display.apiUrl);
    lblRegStatus->setText(display.registration);
    Style::setTextColor(lblRegStatus, display.registrationColor);
    lblServiceStatus->setText(display.serviceState);
    Style::setTextColor(lblServiceStatus, display.serviceStateColor);
    // One root operation at a time.
    const bool idle = !state.rootOperationRunning();
    btnStart->setEnabled(display.startEnabled && idle && commandButton != btnStart);
    btnStop->setEnabled(display.stopEnabled && idle && commandButton != btnStop);
    btnRestart->setEnabled(display.restartEnabled && idle && commandButton != btnRestart);
}

void MainWindowController::startService() {
    runService(btnStart, ServiceCommand::Start);
}

void MainWindowController::stopService() {
    runService(btnStop, ServiceCommand::Stop);
}

void MainWindowController::restartService() {
    runService(btnRestart, ServiceCommand::Restart);
}

void MainWindowController::runService(QPushButton* button, ServiceCommand command) {
    // Stays disabled until a look at the state decides from the real one.
    commandButton = button;
    commandEnded = false;
    button->setEnabled(false);
    state.runServiceCommand(command, this, [this, command](const Outcome& outcome) {
        commandEnded = true;
        if (!outcome)
            Dialogs::showServiceFailure(this, command, outcome.message);
    });
}

void MainWindowController::copyComputerID() {
    const QString id = txtComputerID->text();
    if (id.isEmpty() || id == MainWindowText::notRegisteredId())
        return;
    QGuiApplication::clipboard()->setText(id);
}

void MainWindowController::openSettings() {
    if (setupWindowController) { // a sheet left over from before
        setupWindowController->disconnect(this);
        delete setupWindowController;
    }
    auto* sheet = new SetupWindowController(this);
    setupWindowController = sheet;
    connect(sheet, &QDialog::finished, this, [this, sheet](int) {
        sheet->deleteLater();
        if (setupWindowController == sheet)
            setupWindowController = nullptr;
        // Show what the sheet changed.
        state.refresh();
    });
    sheet->setWindowModality(Qt::WindowModal);
    sheet->open();
}

void MainWindowController::initLogTail() {
    const LogChunk chunk = Logger::lastChunk(initialLogLines);
    appendLog(logLines.take(chunk));
    // Followed from here on.
    logOffset = chunk.newOffset;
}

void MainWindowController::followLog(bool follow) {
    if (follow == followingLog)
        return;
    followingLog = follow;
    if (!follow) {
        // Nobody sees the pane: nothing is read until it is shown again.
        logPace->stop();
        if (!logWatcher->files().isEmpty() || !logWatcher->directories().isEmpty())
            logWatcher->removePaths(logWatcher->files() + logWatcher->directories());
        return;
    }
    watchLog();
    // Catches up with what was written meanwhile, the skipped mark included.
    tailLogFile();
}

void MainWindowController::watchLog() {
    // The folder too: it tells of a log that is created, or replaced by a new one when rotated.
    const QString path = AgentEnvironment::current().logPath;
    const QString folder = QFileInfo(path).path();
    if (!logWatcher->directories().contains(folder))
        logWatcher->addPath(folder);
    if (!logWatcher->files().contains(path) && QFileInfo::exists(path))
        logWatcher->addPath(path);
}

void MainWindowController::logChanged() {
    if (!followingLog || logPace->isActive())
        return;
    if (tailLogFile()) {
        // The log is being written: until the pace is up, its writes need not wake us.
        logWatcher->removePath(AgentEnvironment::current().logPath);
        logPace->start(firstLogPaceMs);
    } else {
        watchLog(); // created, or rotated to a new file
    }
}

bool MainWindowController::tailLogFile() {
    const LogChunk chunk = Logger::tail(logOffset);
    if (chunk.newOffset == logOffset && chunk.lines.isEmpty())
        return false; // nothing new, or a character still being written
    logOffset = chunk.newOffset;
    QStringList lines = logLines.take(chunk);
    // A pane that shows older lines says where it jumps ahead; a first fill starts at the end
    // anyway. The notice heads the newest lines, within what the pane keeps. A line whose start
    // was not read is not shown, so it counts as skipped too (less its cut mark).
    if (chunk.skippedBytes > 0 && logPaneFilled) {
        quint64 skipped = chunk.skippedBytes;
        if (chunk.continuesLine && !chunk.lines.isEmpty())
            skipped += quint64(chunk.lines.first().toUtf8().size()) - cutMarkBytes;
        if (lines.size() >= maxLogLines)
            lines = lines.mid(lines.size() - (maxLogLines - 1));
        lines.prepend(MainWindowText::logSkipped(skipped));
    }
    appendLog(std::move(lines));
    return true;
}

// Makes room for count new lines. The pane's block limit would drop the same lines, but it walks
// over them with a cursor that lays out each one first: under a busy log that costs more than
// everything else the pane does.
void MainWindowController::dropOldestLogLines(int count) {
    QTextDocument* document = logView->document();
    if (document->isEmpty())
        return;
    const int keep = maxLogLines - count;
    if (document->blockCount() <= keep)
        return;
    QTextCursor cut(document);
    if (keep <= 0)
        cut.select(QTextCursor::Document);
    else
        cut.setPosition(document->findBlockByNumber(document->blockCount() - keep).position(),
                        QTextCursor::KeepAnchor);
    cut.removeSelectedText();
}

void MainWindowController::appendLog(QStringList lines) {
    if (lines.isEmpty())
        return;
    logPaneFilled = true;
    // One queued block per batch: only the newest lines of a large batch can stay in the pane.
    if (lines.size() > maxLogLines)
        lines = lines.mid(lines.size() - maxLogLines);
    QMetaObject::invokeMethod(
        this,
        [this, lines = std::move(lines)] {
            dropOldestLogLines(int(lines.size()));
            logView->appendPlainText(lines.join(QLatin1Char('\n')));
            if (logView->hasFocus()) {
                // Someone reads it with the keyboard: the line at the caret stays in sight.
                logView->ensureCursorVisible();
                return;
            }
            // The caret waits at the newest line, where reading with the keyboard starts.
            logView->moveCursor(QTextCursor::End);
            QScrollBar* scrollBar = logView->verticalScrollBar();
            scrollBar->setValue(scrollBar->maximum());
        },
        Qt::QueuedConnection);
}
