// The main window: its layout, the status panel's display rules and what the window shows in each
// service state, the service buttons with their alerts and delayed refreshes, Copy, the setup
// sheet, closing (which only hides), and the live log pane; what assistive technology and the
// keyboard meet in every window, the status menu included.
#include "Tavrel_Agent/Dialogs.h"
#include "Tavrel_Agent/MainWindowController.h"
#include "Tavrel_Agent/MainWindowDisplay.h"
#include "Tavrel_Agent/SetupWindowController.h"
#include "Tavrel_Agent/StatusBarController.h"
#include "core/Logger.h"
#include "core/ServiceControl.h"
#include "core/SystemInfo.h"
#include "core/Version.h"
#include "support/TestSandbox.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTimer>

#include <memory>

using namespace Qt::StringLiterals;

namespace {
const QString dash = u"\u2014"_s;
const QColor green(52, 199, 89);
const QColor darkRed = QColor::fromRgbF(0.7f, 0.1f, 0.1f);
const QColor orange(255, 149, 0);

AgentConfig registeredConfig() {
    AgentConfig config = AgentConfig::defaults();
    config.computerID = u"7f3c2a91-C0FFEE"_s;
    config.token = u"secret-token"_s;
    config.clientName = u"Acme Dental"_s;
    config.locationName = u"Main Street"_s;
    return config;
}

template <typename T = QPushButton> T* child(const QWidget& window, const char* name) {
    return window.findChild<T*>(QLatin1String(name));
}

QString text(const QWidget& window, const char* name) {
    if (auto* label = child<QLabel>(window, name))
        return label->text();
    return child<QLineEdit>(window, name)->text();
}

QColor color(const QWidget& window, const char* name) {
    return child<QWidget>(window, name)->palette().color(QPalette::WindowText);
}

// Shown, its panel filled by the first queued refresh, and (unless the test needs the 3-second
// ticks) with only the refreshes under test left to change it.
void open(MainWindowController& window, bool keepTicking = false) {
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QTRY_VERIFY(text(window, "lblServiceStatus") != dash);
    if (!keepTicking)
        window.findChild<QTimer*>(u"refreshTimer"_s)->stop();
}

QString logLine(int number, const char* level = "INFO") {
    return u"[2026-12-06T09:00:00Z] [%1] heartbeat %2"_s.arg(QLatin1String(level)).arg(number);
}

QStringList logLines(int first, int last) {
    QStringList lines;
    for (int number = first; number <= last; ++number)
        lines << logLine(number);
    return lines;
}

QByteArray bytes(const QStringList& lines) {
    QByteArray bytes;
    for (const QString& line : lines)
        bytes += line.toUtf8() + '\n';
    return bytes;
}

QStringList pane(const QWidget& window) {
    const QString text = child<QPlainTextEdit>(window, "logView")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(u'\n');
}

void tick(MainWindowController& window) {
    QVERIFY(QMetaObject::invokeMethod(&window, "tailLogFile"));
    QCoreApplication::processEvents(); // lines reach the pane queued
}

QString accessibleName(QObject* view) {
    return view ? QAccessible::queryAccessibleInterface(view)->text(QAccessible::Name) : QString();
}

// The views a person reaches or reads, in the order a screen reader walks them: all but hidden
// views, unnamed containers, scroll bars, separators and plain labels (read as their text).
void walk(QAccessibleInterface* node, QStringList& names, QStringList& focusable) {
    for (int i = 0; i < node->childCount(); ++i) {
        QAccessibleInterface* view = node->child(i);
        const QString name = view->text(QAccessible::Name);
        const auto* label = qobject_cast<const QLabel*>(view->object());
        const QAccessible::Role role = view->role();
        if (view->state().invisible)
            continue;
        if ((!label || label->text() != name) && role != QAccessible::Client &&
            role != QAccessible::ScrollBar && role != QAccessible::Separator) {
            names << name;
            if (view->state().focusable)
                focusable << name;
        }
        walk(view, names, focusable);
    }
}

} // namespace

class TestWindow final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void frames();
    void windowAndViews();
    void displayRules_data();
    void displayRules();
    void panel_data();
    void panel();
    void serviceButtons_data();
    void serviceButtons();
    void setupSheetRefreshesWhenItEnds();
    void closingOnlyHides();
    void logFirstFill_data();
    void logFirstFill();
    void logFollowsTheFile_data();
    void logFollowsTheFile();
    void logKeepsTheNewest300_data();
    void logKeepsTheNewest300();
    void logAppearsLater();
    void accessibility_data();
    void accessibility();

private:
    std::unique_ptr<TestSandbox> sandbox;
    QStringList alerts;
};

void TestWindow::init() {
    sandbox = std::make_unique<TestSandbox>();
    alerts.clear();
    Dialogs::setHook(
        [this](QMessageBox& box) { alerts.append(box.text() + u" / "_s + box.informativeText()); });
}

void TestWindow::cleanup() {
    Dialogs::setHook({});
    sandbox.reset();
}

void TestWindow::frames() {
    MainWindowController window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // clang-format off
    const struct { const char* view; const char* parent; QRect frame; } rows[] = { // view: name or fixed text
        {"header", "window", {0, 0, 540, 77}}, {"title", "header", {78, 33, 440, 24}},
        {"accentStripe", "window", {0, 77, 540, 3}}, {"identityBox", "window", {16, 94, 492, 199}},
        {"Service Status:", "identityBox", {10, 10, 120, 18}},
        {"lblServiceStatus", "identityBox", {136, 10, 342, 18}},
        {"lblComputerName", "identityBox", {136, 34, 342, 18}},
        {"txtComputerID", "identityBox", {136, 58, 230, 18}}, {"btnCopy", "identityBox", {374, 56, 104, 24}},
        {"lblClientName", "identityBox", {136, 82, 342, 18}},
        {"lblLocationName", "identityBox", {136, 106, 342, 18}},
        {"lblApiUrl", "identityBox", {136, 130, 342, 18}}, {"Agent Version:", "identityBox", {10, 154, 120, 18}},
        {"lblAgentVersion", "identityBox", {136, 154, 342, 18}}, {"lblRegStatus", "window", {16, 299, 492, 22}},
        {"Service Control", "window", {16, 329, 492, 18}}, {"btnStart", "window", {16, 351, 100, 28}},
        {"btnStop", "window", {126, 351, 100, 28}}, {"btnRestart", "window", {236, 351, 100, 28}},
        {"btnSettings", "window", {16, 391, 160, 28}}, {"Activity Log", "window", {16, 437, 492, 18}},
        {"logView", "window", {16, 459, 492, 200}},
    };
    // clang-format on
    const QList<QLabel*> labels = window.findChildren<QLabel*>();
    for (const auto& row : rows) {
        QWidget* found = child<QWidget>(window, row.view);
        for (QLabel* label : labels)
            found = !found && label->text() == QLatin1String(row.view) ? label : found;
        QVERIFY2(found && found->isVisible(), row.view);
        using Placed = std::pair<QString, QRect>; // parent and frame
        const QString where = QString::fromLatin1(row.view) + u" in ";
        const QString parent =
            found->parentWidget() == &window ? u"window"_s : found->parentWidget()->objectName();
        QCOMPARE(Placed(where + parent, found->geometry()),
                 Placed(where + QLatin1String(row.parent), row.frame));
    }
}

void TestWindow::windowAndViews() {
    MainWindowController window;
    QCOMPARE(window.windowTitle(), u"Tavrel Agent Service"_s);
    QCOMPARE(window.size(), QSize(540, 780));
    QCOMPARE(window.minimumSize(), window.maximumSize());
    QVERIFY(window.windowFlags().testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(!window.windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
    // Filled once at construction; the rest waits for the first queued refresh.
    QCOMPARE(text(window, "lblComputerName"), SystemInfo::computerName());
    QCOMPARE(text(window, "lblAgentVersion"), appVersion());
    QCOMPARE(text(window, "lblServiceStatus"), dash);
    QVERIFY(child<QLineEdit>(window, "txtComputerID")->isReadOnly());
    auto* log = child<QPlainTextEdit>(window, "logView");
    QVERIFY(log->isReadOnly() && log->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
    const QFontMetrics metrics(log->font()); // a fixed-width font
    QCOMPARE(metrics.horizontalAdvance(u'i'), metrics.horizontalAdvance(u'W'));
}

void TestWindow::displayRules_data() {
    QTest::addColumn<QStringList>("stored"); // computer ID, token, client, location, API URL
    QTest::addColumn<QString>("state");
    QTest::addColumn<QStringList>("shown"); // computer ID, client, location, API URL
    QTest::addColumn<bool>("registered");
    QTest::addColumn<QColor>("stateColor");
    QTest::addColumn<bool>("startEnabled"); // Stop is the opposite; Restart always
    const QString url = AgentConfig::defaults().apiBaseUrl;
    // clang-format off
    QTest::newRow("defaults, not installed") << QStringList{"", "", "Unassigned", "", url} << "Not Installed"
        << QStringList{"Not registered", "Unassigned", dash, url} << false << orange << true;
    QTest::newRow("registered, running") << QStringList{"C-42", "tok", "Acme", "HQ", url} << "Running"
        << QStringList{"C-42", "Acme", "HQ", url} << true << green << false;
    QTest::newRow("computer ID without token") << QStringList{"C-42", "", "Acme", "HQ", url} << "Stopped"
        << QStringList{"C-42", "Acme", "HQ", url} << false << darkRed << true;
    QTest::newRow("token without computer ID") << QStringList{"", "tok", "Acme", "HQ", url} << "Stopped"
        << QStringList{"Not registered", "Acme", "HQ", url} << false << darkRed << true;
    QTest::newRow("empty client, location, URL") << QStringList{"C-42", "tok", "", "", ""} << "Running"
        << QStringList{"C-42", dash, dash, ""} << true << green << false;
    QTest::newRow("state compared exactly") << QStringList{"C-42", "tok", "A", "B", url} << "running"
        << QStringList{"C-42", "A", "B", url} << true << orange << true;
    // clang-format on
}

void TestWindow::displayRules() {
    QFETCH(QStringList, stored);
    QFETCH(QString, state);
    QFETCH(bool, registered);
    QFETCH(bool, startEnabled);
    AgentConfig config = AgentConfig::defaults();
    config.computerID = stored[0];
    config.token = stored[1];
    config.clientName = stored[2];
    config.locationName = stored[3];
    config.apiBaseUrl = stored[4];
    const MainWindowDisplay display = mainWindowDisplay(config, state);
    QTEST((QStringList{display.computerID, display.clientName, display.locationName, display.apiUrl}),
          "shown");
    QCOMPARE(display.registration,
             registered ? u"Agent is registered with Tavrel."_s
                        : u"Agent is NOT registered.  Click  Setup / Settings  to register."_s);
    QCOMPARE(display.registrationColor, registered ? green : orange);
    QCOMPARE(display.serviceState, state);
    QTEST(display.serviceStateColor, "stateColor");
    QCOMPARE(display.startEnabled, startEnabled);
    QCOMPARE(display.stopEnabled, !startEnabled);
    QVERIFY(display.restartEnabled);
}

void TestWindow::panel_data() {
    QTest::addColumn<QByteArray>("configuration"); // empty: none
    QTest::addColumn<QString>("state");
    QTest::newRow("no configuration, not installed") << QByteArray() << "Not Installed";
    QTest::newRow("unreadable configuration, stopped") << QByteArray("{\"computerID\": 42}") << "Stopped";
    QTest::newRow("registered, running") << registeredConfig().toJson() << "Running";
}

void TestWindow::panel() {
    QFETCH(QByteArray, configuration);
    QFETCH(QString, state);
    if (!configuration.isEmpty())
        sandbox->writeConfigBytes(configuration);
    if (state == "Running"_L1)
        QVERIFY(sandbox->startAgentProcess());
    sandbox->setServiceDefinition(state == "Stopped"_L1);
    QGuiApplication::clipboard()->setText(u"what was there"_s);

    MainWindowController window;
    QTRY_COMPARE(text(window, "lblServiceStatus"), state);
    // An unreadable file counts as no configuration.
    const MainWindowDisplay expected =
        mainWindowDisplay(state == "Running"_L1 ? registeredConfig() : AgentConfig::defaults(), state);
    QCOMPARE(color(window, "lblServiceStatus"), expected.serviceStateColor);
    QCOMPARE((QStringList{text(window, "txtComputerID"), text(window, "lblClientName"),
                          text(window, "lblLocationName"), text(window, "lblApiUrl"),
                          text(window, "lblRegStatus")}),
             (QStringList{expected.computerID, expected.clientName, expected.locationName, expected.apiUrl,
                          expected.registration}));
    QCOMPARE(color(window, "lblRegStatus"), expected.registrationColor);
    QCOMPARE(child(window, "btnStart")->isEnabled(), expected.startEnabled);
    QCOMPARE(child(window, "btnStop")->isEnabled(), expected.stopEnabled);
    QVERIFY(child(window, "btnRestart")->isEnabled());

    // Copy leaves the clipboard alone while there is no computer ID.
    child(window, "btnCopy")->click();
    QCOMPARE(QGuiApplication::clipboard()->text(),
             state == "Running"_L1 ? registeredConfig().computerID : u"what was there"_s);
}

void TestWindow::serviceButtons_data() {
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QString>("alert"); // empty: the command succeeds
    QTest::newRow("start") << QByteArray("btnStart") << u"service start"_s << 1500 << QString();
    QTest::newRow("start fails")
        << QByteArray("btnStart") << u"service start"_s << 1500
        << u"Failed to start the service. Check that the systemd service is installed."_s;
    QTest::newRow("stop fails") << QByteArray("btnStop") << u"service stop"_s << 1500
                                << u"Failed to stop the service."_s;
    QTest::newRow("restart fails") << QByteArray("btnRestart") << u"service restart"_s << 4000
                                   << u"Failed to restart the service."_s;
}

void TestWindow::serviceButtons() {
    QFETCH(QByteArray, button);
    QFETCH(QString, command);
    QFETCH(int, delayMs);
    QFETCH(QString, alert);
    // Stop is offered only while the agent runs; the recorded command changes nothing.
    if (button == "btnStop")
        QVERIFY(sandbox->startAgentProcess());
    sandbox->recordPrivilegedCommands(alert.isEmpty());
    MainWindowController window;
    open(window);
    QPushButton* target = child(window, button.constData());
    QVERIFY(target->isEnabled());

    QTest::mouseClick(target, Qt::LeftButton);
    QVERIFY(!target->isEnabled());
    QCOMPARE(sandbox->privilegedCommands(), QStringList{command});
    QCoreApplication::processEvents(); // the alert opens once the click has been handled
    // The action's message, and the reason the operation gave.
    QCOMPARE(alerts, alert.isEmpty() ? QStringList() : QStringList{alert + u" / Not authorized"_s});
    auto* recheck = window.findChild<QTimer*>(u"recheck"_s);
    QVERIFY(recheck && recheck->isActive());
    QCOMPARE(recheck->interval(), delayMs);
    QVERIFY2(!target->isEnabled(), "re-enabled before the delayed refresh");
    recheck->start(0); // its time has come
    QTRY_VERIFY(target->isEnabled());
    QCOMPARE(alerts.size(), alert.isEmpty() ? 0 : 1);
}

void TestWindow::setupSheetRefreshesWhenItEnds() {
    MainWindowController window;
    open(window);
    child(window, "btnSettings")->click();
    QPointer<SetupWindowController> sheet = window.findChild<SetupWindowController*>();
    QVERIFY(sheet && sheet->isVisible());
    QCOMPARE(sheet->windowModality(), Qt::WindowModal);
    QCOMPARE(sheet->parentWidget(), &window);

    sandbox->writeConfig(registeredConfig());
    sheet->reject();
    QTRY_COMPARE(text(window, "lblClientName"), registeredConfig().clientName);
    QTRY_VERIFY(!sheet); // a new sheet each time
}

void TestWindow::closingOnlyHides() {
    auto window = std::make_unique<MainWindowController>();
    QPointer<MainWindowController> alive = window.get();
    open(*window, true);
    QVERIFY(!window->close());
    QVERIFY(alive && !window->isVisible());

    // Hidden, it keeps refreshing the panel and following the log.
    sandbox->writeConfig(registeredConfig());
    sandbox->appendLog(bytes({logLine(1)}));
    QTRY_COMPARE_WITH_TIMEOUT(text(*window, "lblClientName"), registeredConfig().clientName, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(pane(*window), QStringList{logLine(1)}, 5000);
}

void TestWindow::logFirstFill_data() {
    QTest::addColumn<QStringList>("log");
    QTest::addColumn<QStringList>("expected");
    // Lines 21 to 100 are the last 80; ten of them carry the debug tag.
    QStringList tenDebug = logLines(1, 100);
    for (int number = 24; number <= 100; number += 8)
        tenDebug[number - 1] = logLine(number, "DEBUG");
    QStringList seventy = tenDebug.mid(20);
    seventy.removeIf([](const QString& line) { return line.contains("DEBUG"_L1); });
    QTest::newRow("ten debug lines among the last 80") << tenDebug << seventy;
    QTest::newRow("only the upper-case tag is dropped, and blank lines")
        << QStringList{logLine(1, "debug"), logLine(2, "DEBUG"), QString(), logLine(3)}
        << QStringList{logLine(1, "debug"), logLine(3)};
    // A long line shows its start; one longer than the read limit, whose start is not read, its end.
    constexpr qsizetype longest = MainWindowText::longestLogLine;
    const QString longLine = logLine(1) + QString(longest, u'x');
    const QString tooLong = QString(Logger::readLimit, u'y') + u"end"_s;
    QTest::newRow("a long line") << QStringList{longLine} << QStringList{longLine.left(longest) + u'\u2026'};
    QTest::newRow("a line beyond the read limit")
        << QStringList{tooLong} << QStringList{u'\u2026' + tooLong.right(longest)};
}

void TestWindow::logFirstFill() {
    QFETCH(QStringList, log);
    sandbox->writeLog(bytes(log));
    MainWindowController window;
    open(window);
    QTEST(pane(window), "expected");
}

void TestWindow::logFollowsTheFile_data() {
    QTest::addColumn<QStringList>("rotated");
    QTest::newRow("rotated to a shorter file") << logLines(500, 502);
    QTest::newRow("rotated to an empty file") << QStringList();
}

void TestWindow::logFollowsTheFile() {
    QFETCH(QStringList, rotated);
    sandbox->writeLog(bytes(logLines(1, 20)));
    MainWindowController window;
    open(window);
    QCOMPARE(pane(window), logLines(1, 20));

    // New lines in file order, debug and blank lines dropped; a line written in two pieces between
    // ticks shows as two lines.
    sandbox->appendLog(bytes({logLine(21), logLine(22, "DEBUG"), QString(), logLine(23)}) + "[WA");
    tick(window);
    sandbox->appendLog("RN] disk almost full\n");
    tick(window);
    QStringList expected = logLines(1, 21) << logLine(23) << u"[WA"_s << u"RN] disk almost full"_s;
    QCOMPARE(pane(window), expected);

    // A rotated log is followed from its start; the pane is never cleared.
    sandbox->writeLog(bytes(rotated));
    tick(window);
    sandbox->appendLog(bytes({logLine(600)}));
    tick(window);
    QCOMPARE(pane(window), expected << rotated << logLine(600));
}

void TestWindow::logKeepsTheNewest300_data() {
    QTest::addColumn<int>("count");
    QTest::newRow("350 new lines") << 350;
    QTest::newRow("a burst above the read limit") << 30000;
}

void TestWindow::logKeepsTheNewest300() {
    QFETCH(int, count);
    sandbox->writeLog(bytes(logLines(1, 50)));
    MainWindowController window;
    open(window);
    QScrollBar* scrollBar = child<QPlainTextEdit>(window, "logView")->verticalScrollBar();
    scrollBar->setValue(0);                                         // the user scrolled up to read
    const QStringList burst = logLines(100000, 100000 + count - 1); // lines of one length
    const QByteArray burstBytes = bytes(burst);
    sandbox->appendLog(burstBytes);
    tick(window);
    QStringList lines = pane(window);
    // Past the read limit, a notice of the whole lines not read heads the newest lines.
    const qsizetype over = burstBytes.size() - qsizetype(Logger::readLimit), lineSize = burst[0].size() + 1;
    if (over > 0)
        QCOMPARE(lines.takeFirst(), MainWindowText::logSkipped((over + lineSize - 1) / lineSize * lineSize));
    QVERIFY2(lines.size() >= 299 && lines.size() <= 300, qPrintable(QString::number(lines.size())));
    QCOMPARE(lines, burst.mid(count - lines.size()));
    QVERIFY(scrollBar->maximum() > 0);
    QCOMPARE(scrollBar->value(), scrollBar->maximum()); // new lines bring the pane back to the end
    auto* log = child<QPlainTextEdit>(window, "logView");
    QVERIFY(log->textCursor().atEnd()); // a keyboard user starts reading at the newest line

    // Read with the keyboard, the pane keeps the caret's line in sight.
    QApplication::setActiveWindow(&window);
    log->setFocus();
    QTRY_VERIFY(log->hasFocus());
    log->moveCursor(QTextCursor::Start);
    sandbox->appendLog(bytes(logLines(2000, 2010)));
    tick(window);
    QCOMPARE(scrollBar->value(), 0);
}

void TestWindow::logAppearsLater() {
    MainWindowController window;
    open(window);
    QVERIFY(pane(window).isEmpty());
    // Once the log exists, the next tick shows its end, subject to the limit; an empty pane needs
    // no notice of what was skipped.
    sandbox->writeLog(bytes(logLines(1, 30000)));
    tick(window);
    QCOMPARE(pane(window), logLines(29701, 30000));
}

void TestWindow::accessibility_data() {
    QTest::addColumn<QString>("form");
    QTest::addColumn<QStringList>("reading"); // tree order is visual order: top to bottom, left to right
    QTest::addColumn<QString>("initialFocus");
    // clang-format off
    QTest::newRow("main window") << "main" << QStringList{
        "Agent identity", "Service Status", "Computer", "Computer ID", "Copy", "Client Name", "Location Name",
        "API URL", "Agent Version", "Registration", "Start", "Stop", "Restart", "Setup / Settings",
        "Activity Log"} << "";
    QTest::newRow("registration form") << "setup" << QStringList{
        "API URL", "Username", "Password", "Client Name", "Location Name", "Computer", "Register", "Status",
        "Close"} << "Username";
    QTest::newRow("settings form, box open") << "settings" << QStringList{
        "Computer ID", "Client Name", "Location Name", "API URL", "Save Settings", "Unregister",
        "Re-authenticate (hide fields)", "Re-authentication", "Username", "Password", "Re-authenticate",
        "Status", "Close"} << "Client Name";
    QTest::newRow("status menu") << "menu" << QStringList() << ""; // its entries as built
    // clang-format on
}

void TestWindow::accessibility() {
#ifdef Q_OS_MACOS
    QSKIP("VoiceOver reads a label's text as its name");
#endif
    QFETCH(QString, form);
    QFETCH(QStringList, reading);
    QFETCH(QString, initialFocus);
    sandbox->writeConfig(form == "settings"_L1 ? registeredConfig() : AgentConfig::defaults());
    MainWindowController window;
    open(window);
    StatusBarController status;
    QWidget* shown = &window;
    if (form == "menu"_L1) {
        shown = status.trayMenu();
    } else if (form != "main"_L1) {
        child(window, "btnSettings")->click();
        shown = window.findChild<SetupWindowController*>();
        QVERIFY(QTest::qWaitForWindowActive(shown));
        QTRY_COMPARE(accessibleName(QApplication::focusWidget()), initialFocus);
        if (form == "settings"_L1)
            child(*shown, "btnReauthToggle")->click();
    }

    QStringList names, tabStops;
    walk(QAccessible::queryAccessibleInterface(shown), names, tabStops);
    QVERIFY2(!names.contains(QString()), qPrintable(names.join(u'|')));
    QCOMPARE(QSet<QString>(names.begin(), names.end()).size(), names.size());
    if (!reading.isEmpty()) {
        QCOMPARE(names, reading);
        QStringList chain; // Tab visits every view that takes the focus, in reading order
        for (QWidget* view = shown->nextInFocusChain(); view != shown; view = view->nextInFocusChain()) {
            if ((view->focusPolicy() & Qt::TabFocus) && view->isVisibleTo(shown))
                chain << accessibleName(view);
        }
        QCOMPARE(chain, tabStops);
    }
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
