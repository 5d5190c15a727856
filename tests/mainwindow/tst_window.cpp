// The main window and the status menu: a service button with its alert and re-check and what both
// views then show, the setup sheet, the live log pane, what assistive technology and the keyboard meet
// in the window and the sheet; without a system tray, the wait for one and the one main window.
#include "Tavrel_Agent/AppDelegate.h"
#include "Tavrel_Agent/Dialogs.h"
#include "Tavrel_Agent/InstanceChannel.h"
#include "Tavrel_Agent/MainWindowController.h"
#include "Tavrel_Agent/MainWindowDisplay.h"
#include "Tavrel_Agent/ScreenFit.h"
#include "Tavrel_Agent/SetupWindowController.h"
#include "Tavrel_Agent/StatusBarController.h"
#include "Tavrel_Agent/ViewHelpers.h"
#include "core/Logger.h"
#include "support/TestSandbox.h"

#include <QAccessible>
#include <QLocalSocket>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QScrollBar>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <future>

using namespace Qt::StringLiterals;

namespace {
// One 3-second tick, now, with the display updates it queues; the timer itself is stopped, so that
// from then on only the ticks and re-checks a test asks for change what the view shows.
void tick(const QObject& view) {
    child<QTimer>(view, "refreshTimer")->stop();
    QVERIFY(QMetaObject::invokeMethod(child<QTimer>(view, "refreshTimer"), "timeout"));
    QCoreApplication::processEvents();
}

QByteArray logBytes(int first, int last, int debugEvery = 0) { // lines of one length while numbers have
    QByteArray bytes;
    for (int number = first; number <= last; ++number)
        bytes += QString::asprintf("[2026-12-06T09:00:00Z] [%s] heartbeat %d\n",
                                   debugEvery && number % debugEvery == 0 ? "DEBUG" : "INFO", number)
                     .toLatin1();
    return bytes;
}

QStringList lines(const QByteArray& bytes) {
    return QString::fromUtf8(bytes).split(u'\n', Qt::SkipEmptyParts);
}

// The views a person reaches or reads, in the order a screen reader walks them: all but hidden
// views, unnamed containers, scroll bars, separators and plain labels (read as their text).
void walk(QAccessibleInterface* node, QStringList& names, QStringList& focusable) {
    for (int i = 0; i < node->childCount(); ++i) {
        QAccessibleInterface* view = node->child(i);
        const QString name = view->text(QAccessible::Name);
        const auto* label = qobject_cast<const QLabel*>(view->object());
        const QAccessible::Role role = view->role();
        const bool read = !view->state().invisible && (!label || label->text() != name) &&
                          role != QAccessible::Client && role != QAccessible::ScrollBar &&
                          role != QAccessible::Separator;
        names << (read ? QStringList{name} : QStringList());
        focusable << (read && view->state().focusable ? QStringList{name} : QStringList());
        walk(view, names, focusable);
    }
}
} // namespace

class TestWindow final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void serviceButton_data();
    void serviceButton();
    void setupSheetRefreshesWhenItEnds();
    void logPane();
    void accessibility_data();
    void accessibility();
    void screenFit();
    void instanceChannel();
    void withoutSystemTray(); // last: it runs the application's event loop until it quits
};

void TestWindow::serviceButton_data() {
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("start") << QByteArray("btnStart") << u"service start"_s << true;
    QTest::newRow("start refused") << QByteArray("btnStart") << u"service start"_s << false;
    QTest::newRow("stop refused") << QByteArray("btnStop") << u"service stop"_s << false;
    QTest::newRow("restart refused") << QByteArray("btnRestart") << u"service restart"_s << false;
}

void TestWindow::serviceButton() {
    QFETCH(QByteArray, button);
    QFETCH(QString, command);
    QFETCH(bool, succeeds);
    TestSandbox sandbox;
    QStringList alerts;
    Dialogs::setHook([&](QMessageBox& box) { alerts << box.informativeText(); });
    const auto unhook = qScopeGuard([] { Dialogs::setHook({}); });
    AgentConfig config = AgentConfig::defaults();
    config.computerID = u"C-4&2"_s; // without a token; in the menu "&" is no mnemonic marker
    sandbox.writeConfig(config);
    sandbox.setServiceDefinition(true);
    const bool running = command != "service start"_L1;
    QVERIFY(!running || sandbox.startAgentProcess());
    sandbox.recordPrivilegedCommands(succeeds);
    MainWindowController window;
    StatusBarController menu;
    tick(window);

    auto* target = child<QPushButton>(window, button.constData());
    target->click();
    QCOMPARE(sandbox.privilegedCommands(), QStringList{command});
    running ? sandbox.stopAgentProcess() : void(sandbox.startAgentProcess()); // what the re-check must see
    QCoreApplication::processEvents(); // the alert opens once the click has been handled
    // The reason the operation gave, under the action's message.
    QCOMPARE(alerts, succeeds ? QStringList() : QStringList{u"Not authorized"_s});
    QVERIFY2(!target->isEnabled(), "re-enabled before the re-check");
    child<QTimer>(window, "recheck")->start(0); // its time has come
    QTRY_COMPARE(child<QLabel>(window, "lblServiceStatus")->text(), running ? "Stopped"_L1 : "Running"_L1);

    // What both views show in the new state. Only the window wants a token as well as an ID.
    tick(menu);
    QCOMPARE(child<QWidget>(window, "btnStart")->isEnabled(), running);
    QCOMPARE(child<QAction>(*menu.trayMenu(), "stopMenuItem")->isEnabled(), !running);
    QCOMPARE(Style::textColor(child<QWidget>(window, "lblRegStatus")), Style::warningColor());
    QCOMPARE(child<QAction>(*menu.trayMenu(), "computerIDMenuItem")->iconText(),
             "ID: "_L1 + config.computerID);
}

void TestWindow::setupSheetRefreshesWhenItEnds() {
    TestSandbox sandbox;
    MainWindowController window;
    tick(window);
    child<QPushButton>(window, "btnSettings")->click();
    QPointer<SetupWindowController> sheet = window.findChild<SetupWindowController*>();
    QVERIFY(sheet && sheet->isVisible());
    AgentConfig config = AgentConfig::defaults();
    config.computerID = config.token = u"C-42"_s;
    sandbox.writeConfig(config);
    sheet->reject();
    QTRY_COMPARE(child<QLineEdit>(window, "txtComputerID")->text(), config.computerID);
    QCOMPARE(Style::textColor(child<QWidget>(window, "lblRegStatus")), Style::successColor());
    QTRY_VERIFY(!sheet); // a new sheet each time
}

void TestWindow::logPane() {
    constexpr qsizetype cut = MainWindowText::longestLogLine;
    TestSandbox sandbox;
    sandbox.writeLog(logBytes(1, 100, 8) + QByteArray(1000, 'x') + '\n');
    MainWindowController window;
    tick(window);
    auto* pane = child<QPlainTextEdit>(window, "logView");
    QScrollBar* scrollBar = pane->verticalScrollBar();
    // The last 80 lines less the debug ones, and of a long line its start.
    QCOMPARE(lines(pane->toPlainText().toUtf8()), lines(logBytes(22, 100, 8)).filter(u"[INFO]"_s)
                                                      << QString(cut, u'x') + u'\u2026');

    // A runaway burst: a notice of the whole lines not read, then the newest lines less debug, 300 in all.
    const QByteArray burst = logBytes(100000, 129999) + logBytes(8, 8, 8); // 30000 lines, then a debug one
    const qsizetype size = burst.indexOf('\n') + 1, over = burst.size() - qsizetype(Logger::readLimit);
    scrollBar->setValue(0); // the user scrolled up to read
    sandbox.appendLog(burst);
    tick(window);
    QCOMPARE(lines(pane->toPlainText().toUtf8()),
             QStringList{MainWindowText::logSkipped((over + size - 1) / size * size)} +
                 lines(burst).mid(30000 - 299, 299));
    // New lines bring the pane back to the end, the caret at the newest line, where a keyboard user starts.
    QVERIFY(scrollBar->value() == scrollBar->maximum() && pane->textCursor().atEnd());

    // A line whose start was not read shows its end.
    const QByteArray tooLong = QByteArray(Logger::readLimit, 'y') + "end";
    sandbox.appendLog(tooLong + '\n');
    tick(window);
    QCOMPARE(lines(pane->toPlainText().toUtf8()).last(), u'\u2026' + QString::fromLatin1(tooLong.right(cut)));
}

void TestWindow::accessibility_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QString>("reading"); // tree order is visual order: top to bottom, left to right
    // clang-format off
    QTest::newRow("main window") << "main" << "Agent identity|Service Status|Computer|Computer ID|Copy|"
        "Client Name|Location Name|API URL|Agent Version|Registration|Start|Stop|Restart|Setup / Settings|"
        "Activity Log";
    QTest::newRow("registration form") << "setup"
        << "API URL|Username|Password|Client Name|Location Name|Computer|Register|Status|Close";
    QTest::newRow("settings form, box open") << "settings" << "Computer ID|Client Name|Location Name|API URL|"
        "Save Settings|Unregister|Re-authenticate (hide fields)|Re-authentication|Username|Password|"
        "Re-authenticate|Status|Close";
    // clang-format on
}

void TestWindow::accessibility() {
    QFETCH(QString, form);
    TestSandbox sandbox;
    AgentConfig registered = AgentConfig::defaults();
    registered.computerID = registered.token = u"C-42"_s;
    sandbox.writeConfig(form == "settings"_L1 ? registered : AgentConfig::defaults());
    MainWindowController window;
    window.show();
    QWidget* shown = &window;
    if (form != "main"_L1) {
        child<QPushButton>(window, "btnSettings")->click();
        shown = window.findChild<SetupWindowController*>();
        if (form == "settings"_L1)
            child<QPushButton>(*shown, "btnReauthToggle")->click();
    }
    QStringList names, tabStops, chain;
    walk(QAccessible::queryAccessibleInterface(shown), names, tabStops);
    QTEST(names.join(u'|'), "reading");
    // Tab visits every view that takes the focus, in reading order.
    for (QWidget* view = shown->nextInFocusChain(); view != shown; view = view->nextInFocusChain())
        if ((view->focusPolicy() & Qt::TabFocus) && view->isVisibleTo(shown))
            chain << QAccessible::queryAccessibleInterface(view)->text(QAccessible::Name);
    QCOMPARE(chain, tabStops);
}

// The window's size for its 540 × 780 content in the room a screen leaves, with 16-point bars.
void TestWindow::screenFit() {
    const std::pair<QSize, QSize> rows[] = {
        {{1366, 1024}, {540, 780}}, // room: exactly the frames
        {{540, 780}, {540, 780}},
        {{1366, 738}, {556, 738}}, // a 768-pixel screen less a panel: a vertical bar beside
        {{548, 738}, {548, 738}},  // too narrow for the bar as well: both bars
        {{500, 1024}, {500, 796}}, // a horizontal bar below
        {{320, 240}, {320, 240}},
    };
    for (const auto& [room, size] : rows)
        QCOMPARE(fittedWindowSize(QSize(540, 780), room, 16), size);
}

// A second start's request shows the window; anything but exactly that one request does nothing,
// and the socket is its user's alone.
void TestWindow::instanceChannel() {
    QTemporaryDir folder;
    const QString path = InstanceChannel::socketPathFor(folder.filePath(u"app.lock"_s));
    TestSandbox::writeFile(path, "left behind by a crashed instance");
    InstanceChannel channel(path);
    QVERIFY(channel.isListening());
    QCOMPARE(QFile::permissions(path) & 0077, QFileDevice::Permissions());
    QSignalSpy shown(&channel, &InstanceChannel::showMainWindowRequested);
    for (const QByteArray& request : {QByteArray("show-main-window"), QByteArray("show-main-window\nx"),
                                      QByteArray("SHOW-MAIN-WINDOW\n"), QByteArray(4096, '\n')}) {
        QLocalSocket peer;
        peer.connectToServer(path);
        QVERIFY(peer.waitForConnected());
        peer.write(request);
        peer.flush();
        if (request != "show-main-window") // not yet whole: waits for the rest
            QTRY_COMPARE(peer.state(), QLocalSocket::UnconnectedState);
    }
    QCOMPARE(shown.count(), 0);
    // The real request, from a thread, as a second process would send it while this one runs.
    auto asked = std::async(std::launch::async, [&] { return InstanceChannel::askToShowMainWindow(path); });
    QTRY_COMPARE(shown.count(), 1);
    QVERIFY(asked.get());
}

void TestWindow::withoutSystemTray() {
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("a system tray is available here");
    TestSandbox sandbox;
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching({u"tavrel-agent"_s, u"--tray"_s});
    // A panel that starts after us at login gets its whole chance first; then the window is the way in.
    auto* wait = delegate.findChild<QTimer*>();
    for (int waited = 0; waited < AppDelegate::trayWaitLimitMs; waited += AppDelegate::trayWaitIntervalMs) {
        QVERIFY2(!delegate.mainWindow(), qPrintable(QString::number(waited)));
        QVERIFY(QMetaObject::invokeMethod(wait, "timeout"));
    }
    MainWindowController* window = delegate.mainWindow();
    QVERIFY(window && window->isVisible());
    // Minimised, the menu brings the one window back.
    window->showMinimized();
    child<QAction>(*delegate.statusBar()->trayMenu(), "openWindowMenuItem")->trigger();
    QVERIFY(delegate.mainWindow() == window && window->isVisible() && !window->isMinimized());
    // Closing only hides it, still refreshing; with no tray to bring it back, that ends the app.
    window->close();
    QVERIFY(!window->isVisible() && child<QTimer>(*window, "refreshTimer")->isActive());
    QTimer::singleShot(5000, &delegate, [] { QCoreApplication::exit(-1); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
