// Start-up and the status menu: the "--tray" option, where the single-instance lock lives, the
// real binary's single-instance rule; the menu's display rules, its disc icon, the menu as built
// and as each service state shows, Stop / Restart with their delayed re-checks; the delegate's
// windows and quitting.
#include "Tavrel_Agent/AppDelegate.h"
#include "Tavrel_Agent/MainWindowController.h"
#include "Tavrel_Agent/StatusBarController.h"
#include "Tavrel_Agent/StatusMenuDisplay.h"
#include "core/ServiceControl.h"
#include "support/TestSandbox.h"

#include <QAction>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QScopeGuard>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
const QColor green(52, 199, 89);
const QColor darkRed = QColor::fromRgbF(0.7f, 0.1f, 0.1f);
const QColor orange(255, 149, 0);

QAction* action(const StatusBarController& controller, const char* name) {
    auto* found = controller.trayMenu()->findChild<QAction*>(QLatin1String(name));
    if (!found)
        qFatal("no menu action %s", name);
    return found;
}

QString statusTitle(const StatusBarController& controller) {
    return action(controller, "statusMenuItem")->text();
}

// The disc's colour as the 1x image holds it.
QRgb iconColor(const StatusBarController& controller) {
    return controller.trayIcon()->icon().pixmap(QSize(18, 18), 1.0).toImage().pixel(4, 9);
}

// The real app on the offscreen platform with its own runtime directory, so that it can never
// meet an instance the user is running.
void startApp(QProcess& process, const QString& runtimeDir, const QStringList& arguments) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    if (!runtimeDir.isEmpty())
        environment.insert(u"XDG_RUNTIME_DIR"_s, runtimeDir);
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(TAVREL_AGENT_BINARY), arguments);
}

auto restoreEnv(const char* name) {
    return qScopeGuard([name, was = qEnvironmentVariableIsSet(name), value = qgetenv(name)] {
        was ? qputenv(name, value) : qunsetenv(name);
    });
}
} // namespace

class TestApp final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void trayOption_data();
    void trayOption();
    void lockLocation_data();
    void lockLocation();
    void singleInstance();
    void displayRules_data();
    void displayRules();
    void discIcon();
    void menuAsBuilt();
    void refreshFollowsState();
    void serviceCommand_data();
    void serviceCommand();
    // Last: these run the application's event loop until it quits.
    void menuOpensTheSameWindow();
    void withoutSystemTray();
};

void TestApp::trayOption_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("tray");
    const QString program = u"/usr/bin/tavrel-agent"_s;
    QTest::newRow("no arguments") << QStringList{program} << false;
    QTest::newRow("--tray") << QStringList{program, u"--tray"_s} << true;
    QTest::newRow("--tray among others") << QStringList{program, u"-x"_s, u"--tray"_s, u"y"_s} << true;
    QTest::newRow("with a value") << QStringList{program, u"--tray=1"_s} << false;
    QTest::newRow("capitals") << QStringList{program, u"--TRAY"_s} << false;
    QTest::newRow("one hyphen") << QStringList{program, u"-tray"_s} << false;
    QTest::newRow("trailing blank") << QStringList{program, u"--tray "_s} << false;
    QTest::newRow("program path is --tray") << QStringList{u"--tray"_s} << true;
}

void TestApp::trayOption() {
    QFETCH(QStringList, arguments);
    QTEST(hasTrayOption(arguments), "tray");
}

void TestApp::lockLocation_data() {
    QTest::addColumn<QString>("runtimeDir"); // "unset", "private", "shared" (world-writable)
    QTest::addColumn<int>(
        "fallbacksPlanted");               // someone made our first (temp) or both fallbacks world-writable
    QTest::addColumn<QString>("expected"); // RUNTIME, TMP and CACHE stand for the three folders
    const QString fallback = u"TMP/tavrel-agent-%1/com.tavrel.agentui.lock"_s.arg(::getuid());
    QTest::newRow("private runtime directory") << "private" << 0 << "RUNTIME/com.tavrel.agentui.lock";
    QTest::newRow("no runtime directory") << "unset" << 0 << fallback;
    QTest::newRow("world-writable runtime directory") << "shared" << 0 << fallback;
    QTest::newRow("temp fallback planted") << "unset" << 1 << "CACHE/tavrel-agent/com.tavrel.agentui.lock";
    QTest::newRow("every folder planted") << "unset" << 2 << QString();
}

void TestApp::lockLocation() {
    QFETCH(QString, runtimeDir);
    QFETCH(int, fallbacksPlanted);
    QFETCH(QString, expected);
    QTemporaryDir runtime, temp, cache;
    QVERIFY(runtime.isValid() && temp.isValid() && cache.isValid());
    const QStringList fallbacks{temp.filePath(u"tavrel-agent-%1"_s.arg(::getuid())),
                                cache.filePath(u"tavrel-agent"_s)};
    if (runtimeDir == "shared"_L1)
        QVERIFY(QFile::setPermissions(runtime.path(), QFileDevice::Permissions(0x7777)));
    for (const QString& fallback : fallbacks.mid(0, fallbacksPlanted))
        QVERIFY(QDir().mkpath(fallback) && QFile::setPermissions(fallback, QFileDevice::Permissions(0x7777)));
    const auto restoreTmp = restoreEnv("TMPDIR"), restoreRuntime = restoreEnv("XDG_RUNTIME_DIR"),
               restoreCache = restoreEnv("XDG_CACHE_HOME");
    qputenv("TMPDIR", QFile::encodeName(temp.path()));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(cache.path()));
    runtimeDir == "unset"_L1 ? qunsetenv("XDG_RUNTIME_DIR")
                             : qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));

    const QString path = instanceLockPath(u"com.tavrel.agentui"_s);
    QCOMPARE(path, expected.replace("RUNTIME"_L1, runtime.path())
                       .replace("TMP"_L1, temp.path())
                       .replace("CACHE"_L1, cache.path()));
    if (!path.isEmpty()) { // in a folder that is ours alone
        QCOMPARE(QFileInfo(QFileInfo(path).path()).permissions() & 0x0077, QFileDevice::Permissions());
        return;
    }
    // Without any lock the app says so and does not start unguarded.
    QProcess app;
    startApp(app, {}, {u"--tray"_s});
    QVERIFY(app.waitForFinished(10000));
    QCOMPARE(app.exitCode(), 1);
    QVERIFY2(app.readAll().contains("single-instance lock"), "no message");
}

void TestApp::singleInstance() {
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    const QString lockFile = runtime.filePath(u"com.tavrel.agentui.lock"_s);
    QProcess crashed, first, second;
    const auto stop = qScopeGuard([&] {
        first.kill();
        first.waitForFinished();
    });
    // A crashed instance leaves its lock behind; it must not keep the next one out.
    startApp(crashed, runtime.path(), {u"--tray"_s});
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(lockFile), 10000);
    crashed.kill();
    QVERIFY(crashed.waitForFinished() && QFileInfo::exists(lockFile));

    startApp(first, runtime.path(), {u"--tray"_s});
    QVERIFY2(!first.waitForFinished(3000), first.readAll().constData()); // the tray app keeps running

    startApp(second, runtime.path(), {});
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.readAll(), QByteArray()); // silently
    QTest::qWait(500);
    QCOMPARE(first.state(), QProcess::Running);
}

void TestApp::displayRules_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("computerID");
    QTest::addColumn<QString>("idTitle");
    QTest::addColumn<bool>("stopEnabled");
    QTest::addColumn<bool>("restartEnabled");
    QTest::addColumn<QColor>("color");
    // clang-format off
    QTest::newRow("running") << "Running" << "C-42" << "ID: C-42" << true << true << green;
    QTest::newRow("stopped") << "Stopped" << "C-42" << "ID: C-42" << false << true << darkRed;
    QTest::newRow("not installed") << "Not Installed" << "" << "ID: Not registered" << false << false << orange;
    QTest::newRow("checking") << "Checking" << "" << "ID: Not registered" << false << false << orange;
    QTest::newRow("state compared exactly") << "running" << "C-42" << "ID: C-42" << false << false << orange;
    // clang-format on
}

void TestApp::displayRules() {
    QFETCH(QString, state);
    QFETCH(QString, computerID);
    const StatusMenuDisplay display = statusMenuDisplay(state, computerID);
    QCOMPARE(display.statusTitle, "Status: "_L1 + state);
    QTEST(display.computerIDTitle, "idTitle");
    QTEST(display.stopEnabled, "stopEnabled");
    QTEST(display.restartEnabled, "restartEnabled");
    QCOMPARE(display.toolTip, u"Tavrel Agent \u2013 "_s + state);
    QTEST(display.iconColor, "color");
}

void TestApp::discIcon() {
    const QIcon icon = StatusBarController::discIcon(darkRed);
    for (const int scale : {1, 2}) {
        const QPixmap pixmap = icon.pixmap(QSize(18, 18), qreal(scale));
        QCOMPARE(pixmap.size(), QSize(18 * scale, 18 * scale)); // drawn at this scale, not stretched
        const QImage image = pixmap.toImage();
        const auto at = [&](int x, int y) {
            return image.pixelColor(x * scale, y * scale).rgba();
        };
        // The 14-point disc spans x = 2 … 16 across the middle row, the 6-point white dot x = 6 … 12.
        QCOMPARE(qAlpha(at(1, 9)), 0);
        QCOMPARE(qAlpha(at(16, 9)), 0);
        QCOMPARE(at(3, 9), darkRed.rgba());
        QCOMPARE(at(5, 9), darkRed.rgba());
        QCOMPARE(at(12, 9), darkRed.rgba());
        QCOMPARE(at(9, 9), QColor(Qt::white).rgba());
    }
}

void TestApp::menuAsBuilt() {
    TestSandbox sandbox;
    QVERIFY(sandbox.startAgentProcess());
    const StatusBarController controller;
    // Nothing has been shown yet: the first check's update waits for the event loop.
    QStringList entries;
    for (const QAction* entry : controller.trayMenu()->actions()) {
        entries << (entry->isSeparator() ? u"---"_s
                                         : entry->objectName() % u'=' % entry->text() %
                                               (entry->isEnabled() ? ""_L1 : " (off)"_L1));
        if (entry->objectName() != "quitMenuItem"_L1)
            QVERIFY2(entry->shortcut().isEmpty(), qPrintable(entry->text()));
    }
    QCOMPARE(entries.join(u'|'),
             u"statusMenuItem=Status: Checking\u2026 (off)|computerIDMenuItem=ID: \u2014 (off)|"
             u"---|stopMenuItem=Stop Service (off)|restartMenuItem=Restart Service (off)|"
             u"---|openWindowMenuItem=Open Tavrel Agent\u2026|---|quitMenuItem=Quit"_s);
    QCOMPARE(action(controller, "quitMenuItem")->shortcut(), QKeySequence(QKeySequence::Quit));
    QVERIFY(controller.trayIcon()->toolTip().isEmpty());
    QCOMPARE(iconColor(controller), orange.rgba());

    // The check made during construction shows as soon as the event loop runs, not 3 s later.
    QCoreApplication::processEvents();
    QCOMPARE(statusTitle(controller), u"Status: Running"_s);
}

void TestApp::refreshFollowsState() {
    TestSandbox sandbox;
    const StatusBarController controller;
    // The first check is immediate; the later ones come with the 3-second ticks.
    const struct {
        bool definitionPresent;
        bool agentRunning;
        QString computerID; // empty: no configuration file
        QString state;
    } steps[] = {{false, false, {}, u"Not Installed"_s},
                 {true, false, u"C-42"_s, u"Stopped"_s},
                 {false, true, u"C-4&2"_s, u"Running"_s}};
    for (const auto& step : steps) {
        sandbox.setServiceDefinition(step.definitionPresent);
        if (step.agentRunning)
            QVERIFY(sandbox.startAgentProcess());
        if (!step.computerID.isEmpty()) {
            AgentConfig config = AgentConfig::defaults();
            config.computerID = step.computerID; // no token: the menu shows the ID all the same
            sandbox.writeConfig(config);
        }
        QTRY_COMPARE_WITH_TIMEOUT(statusTitle(controller), "Status: "_L1 + step.state, 5000);
        const StatusMenuDisplay expected = statusMenuDisplay(step.state, step.computerID);
        // Shown as written: "&" is no mnemonic marker here.
        QCOMPARE(action(controller, "computerIDMenuItem")->iconText(), expected.computerIDTitle);
        QVERIFY(!action(controller, "statusMenuItem")->isEnabled());
        QVERIFY(!action(controller, "computerIDMenuItem")->isEnabled());
        QCOMPARE(action(controller, "stopMenuItem")->isEnabled(), expected.stopEnabled);
        QCOMPARE(action(controller, "restartMenuItem")->isEnabled(), expected.restartEnabled);
        QCOMPARE(controller.trayIcon()->toolTip(), expected.toolTip);
        QCOMPARE(iconColor(controller), expected.iconColor.rgba());
    }
}

void TestApp::serviceCommand_data() {
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("commandSucceeds");
    QTest::newRow("stop") << QByteArray("stopMenuItem") << u"service stop"_s << 1500 << true;
    // No alert from the menu (it would block this test): a refused command shows in the re-check.
    QTest::newRow("stop refused") << QByteArray("stopMenuItem") << u"service stop"_s << 1500 << false;
    QTest::newRow("restart") << QByteArray("restartMenuItem") << u"service restart"_s << 4000 << true;
}

void TestApp::serviceCommand() {
    QFETCH(QByteArray, entry);
    QFETCH(QString, command);
    QFETCH(int, delayMs);
    QFETCH(bool, commandSucceeds);
    TestSandbox sandbox;
    sandbox.setServiceDefinition(true);
    QVERIFY(sandbox.startAgentProcess());
    sandbox.recordPrivilegedCommands(commandSucceeds);

    const StatusBarController controller;
    QTRY_COMPARE(statusTitle(controller), u"Status: Running"_s);
    // Without the 3-second ticks, the only refresh left is the re-check after the command.
    controller.findChild<QTimer*>(u"refreshTimer"_s)->stop();

    action(controller, entry.constData())->trigger();
    QCOMPARE(sandbox.privilegedCommands(), QStringList{command});
    sandbox.stopAgentProcess(); // what the re-check must see, whatever the command answered
    auto* recheck = controller.findChild<QTimer*>(u"recheck"_s);
    QVERIFY(recheck && recheck->isActive());
    QCOMPARE(recheck->interval(), delayMs);
    QCoreApplication::processEvents();
    QCOMPARE(statusTitle(controller), u"Status: Running"_s);
    recheck->start(0); // its time has come
    QTRY_COMPARE(statusTitle(controller), u"Status: Stopped"_s);
    QCOMPARE(sandbox.privilegedCommands().size(), 1);
}

void TestApp::menuOpensTheSameWindow() {
    TestSandbox sandbox;
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching({u"tavrel-agent"_s, u"--tray"_s});
    QVERIFY(!delegate.mainWindow()); // the status menu alone
    QAction* open = action(*delegate.statusBar(), "openWindowMenuItem");
    open->trigger();
    MainWindowController* window = delegate.mainWindow();
    QVERIFY(window && window->isVisible());

    window->close(); // only hides
    QVERIFY(!window->isVisible());
    open->trigger();
    QCOMPARE(delegate.mainWindow(), window);
    QVERIFY(window->isVisible());

    window->showMinimized();
    open->trigger(); // already shown: brought back to the front, still one window
    QCOMPARE(delegate.mainWindow(), window);
    QVERIFY(window->isVisible() && !window->isMinimized());

    // The window's close only hides it: that must not keep Quit from ending the app.
    QTimer::singleShot(0, action(*delegate.statusBar(), "quitMenuItem"), &QAction::trigger);
    QTimer::singleShot(5000, &delegate, [] { QCoreApplication::exit(-1); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

void TestApp::withoutSystemTray() {
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("a system tray is available here");
    TestSandbox sandbox;
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching({u"tavrel-agent"_s, u"--tray"_s});
    // A panel that starts after us at login gets its chance first; then the window is the way in,
    // and closing it ends the app.
    QTest::qWait(AppDelegate::trayWaitLimitMs / 2);
    QVERIFY(!delegate.mainWindow());
    QTRY_VERIFY_WITH_TIMEOUT(delegate.mainWindow() && delegate.mainWindow()->isVisible(),
                             AppDelegate::trayWaitLimitMs);
    QTimer::singleShot(0, delegate.mainWindow(), &QWidget::close);
    QTimer::singleShot(5000, &delegate, [] { QCoreApplication::exit(-1); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

QTEST_MAIN(TestApp)
#include "tst_app.moc"
