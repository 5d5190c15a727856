// Start-up: the "--tray" option, where the single-instance lock lives, the delegate's windows,
// quitting, and the real binary's single-instance rule.
#include "Tavrel_Agent/AppDelegate.h"
#include "Tavrel_Agent/MainWindowController.h"
#include "Tavrel_Agent/StatusBarController.h"
#include "support/TestSandbox.h"

#include <QAction>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenu>
#include <QProcess>
#include <QScopeGuard>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <optional>

#include <unistd.h>

namespace {
// Sets (or, for a null value, clears) an environment variable until the returned guard ends.
auto scopedEnv(const char* name, const QByteArray& value) {
    const std::optional<QByteArray> saved =
        qEnvironmentVariableIsSet(name) ? std::optional(qgetenv(name)) : std::nullopt;
    value.isNull() ? qunsetenv(name) : qputenv(name, value);
    return qScopeGuard([name, saved] { saved ? qputenv(name, *saved) : qunsetenv(name); });
}

QString agentBinary() {
    return QStringLiteral(TAVREL_AGENT_BINARY);
}

// The real app on the offscreen platform with its own runtime directory, so that it can never
// meet an instance the user is running.
QProcessEnvironment appEnvironment(const QString& runtimeDir) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeDir);
    return environment;
}

void startApp(QProcess& process, const QString& runtimeDir, const QStringList& arguments) {
    process.setProcessEnvironment(appEnvironment(runtimeDir));
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(agentBinary(), arguments);
}

void stopApp(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(5000)) {
        process.kill();
        process.waitForFinished(5000);
    }
}

// Runs the event loop until something quits it; -1 when nothing did within the time.
int runEventLoop(int limitMs) {
    QTimer::singleShot(limitMs, QCoreApplication::instance(), [] { QCoreApplication::exit(-1); });
    return QCoreApplication::exec();
}
} // namespace

class TestStartup final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void trayOption_data();
    void trayOption();
    void lockLocation_data();
    void lockLocation();
    void menuOpensTheSameWindow();
    void trayWithoutSystemTrayShowsWindowLater();
    void secondInstanceLeavesSilently();
    void staleLockDoesNotBlock();
    void quitEntryEndsTheApp();
    void closingWindowWithoutTrayEndsTheApp();
};

void TestStartup::trayOption_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("tray");

    const QString program = QStringLiteral("/usr/bin/tavrel-agent");
    QTest::newRow("no arguments") << QStringList{program} << false;
    QTest::newRow("--tray") << QStringList{program, QStringLiteral("--tray")} << true;
    QTest::newRow("--tray among others")
        << QStringList{program, QStringLiteral("-x"), QStringLiteral("--tray"), QStringLiteral("y")} << true;
    QTest::newRow("with a value") << QStringList{program, QStringLiteral("--tray=1")} << false;
    QTest::newRow("capitals") << QStringList{program, QStringLiteral("--TRAY")} << false;
    QTest::newRow("one hyphen") << QStringList{program, QStringLiteral("-tray")} << false;
    QTest::newRow("no hyphen") << QStringList{program, QStringLiteral("tray")} << false;
    QTest::newRow("leading blank") << QStringList{program, QStringLiteral(" --tray")} << false;
    QTest::newRow("trailing blank") << QStringList{program, QStringLiteral("--tray ")} << false;
    QTest::newRow("program path is --tray") << QStringList{QStringLiteral("--tray")} << true;
    QTest::newRow("program path ends in --tray") << QStringList{QStringLiteral("/opt/--tray")} << false;
    QTest::newRow("empty") << QStringList{} << false;
}

void TestStartup::trayOption() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, tray);
    QCOMPARE(hasTrayOption(arguments), tray);
}

void TestStartup::lockLocation_data() {
    QTest::addColumn<QString>("runtimeDir");  // "unset", "private", "shared" (world-writable)
    QTest::addColumn<QString>("fallbackDir"); // "none", "shared"
    QTest::addColumn<QString>("expected");    // "runtime", "fallback", "none"

    QTest::newRow("private runtime directory") << "private"
                                               << "none"
                                               << "runtime";
    QTest::newRow("no runtime directory") << "unset"
                                          << "none"
                                          << "fallback";
    QTest::newRow("world-writable runtime directory") << "shared"
                                                      << "none"
                                                      << "fallback";
    QTest::newRow("fallback planted world-writable") << "unset"
                                                     << "shared"
                                                     << "none";
}

void TestStartup::lockLocation() {
    QFETCH(QString, runtimeDir);
    QFETCH(QString, fallbackDir);
    QFETCH(QString, expected);
    QTemporaryDir runtime;
    QTemporaryDir temp;
    QVERIFY(runtime.isValid() && temp.isValid());
    if (runtimeDir == QLatin1String("shared"))
        QVERIFY(QFile::setPermissions(runtime.path(), QFileDevice::Permissions(0x7777)));
    const QString fallback = temp.filePath(QStringLiteral("tavrel-agent-") + QString::number(::getuid()));
    if (fallbackDir == QLatin1String("shared")) {
        QVERIFY(QDir().mkpath(fallback));
        QVERIFY(QFile::setPermissions(fallback, QFileDevice::Permissions(0x7777)));
    }
    const auto tmpdir = scopedEnv("TMPDIR", QFile::encodeName(temp.path()));
    const auto xdg =
        scopedEnv("XDG_RUNTIME_DIR",
                  runtimeDir == QLatin1String("unset") ? QByteArray() : QFile::encodeName(runtime.path()));

    const QString path = instanceLockPath(QStringLiteral("com.tavrel.agentui"));
    if (expected == QLatin1String("runtime")) {
        QCOMPARE(path, runtime.filePath(QStringLiteral("com.tavrel.agentui.lock")));
    } else if (expected == QLatin1String("fallback")) {
        QCOMPARE(path, QDir(fallback).filePath(QStringLiteral("com.tavrel.agentui.lock")));
        // Created for us alone.
        QCOMPARE(QFileInfo(fallback).permissions() & 0x0077, QFileDevice::Permissions());
    } else {
        QVERIFY2(path.isEmpty(), qPrintable(path));
    }
}

void TestStartup::menuOpensTheSameWindow() {
    TestSandbox sandbox;
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching({QStringLiteral("tavrel-agent"), QStringLiteral("--tray")});
    QVERIFY(!delegate.mainWindowController()); // the status menu alone
    auto* open =
        delegate.statusBarController()->menu()->findChild<QAction*>(QStringLiteral("openWindowMenuItem"));
    QVERIFY(open);
    open->trigger();
    MainWindowController* window = delegate.mainWindowController();
    QVERIFY(window && window->isVisible());

    window->close(); // only hides
    QVERIFY(!window->isVisible());
    open->trigger();
    QCOMPARE(delegate.mainWindowController(), window);
    QVERIFY(window->isVisible());

    window->showMinimized();
    open->trigger(); // already shown: brought back to the front, still one window
    QCOMPARE(delegate.mainWindowController(), window);
    QVERIFY(window->isVisible() && !window->isMinimized());
}

void TestStartup::trayWithoutSystemTrayShowsWindowLater() {
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("a system tray is available here");
    TestSandbox sandbox;
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching({QStringLiteral("tavrel-agent"), QStringLiteral("--tray")});
    // A panel that starts after us at login gets its chance first.
    QTest::qWait(AppDelegate::trayWaitLimitMs / 2);
    QVERIFY(!delegate.mainWindowController());
    QTRY_VERIFY_WITH_TIMEOUT(delegate.mainWindowController() && delegate.mainWindowController()->isVisible(),
                             AppDelegate::trayWaitLimitMs);
}

void TestStartup::secondInstanceLeavesSilently() {
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    QProcess first;
    startApp(first, runtime.path(), {QStringLiteral("--tray")});
    QVERIFY2(first.waitForStarted(), qPrintable(first.errorString()));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(runtime.filePath(QStringLiteral("com.tavrel.agentui.lock"))),
                             10000);
    QTest::qWait(1000);
    QCOMPARE(first.state(), QProcess::Running);

    QProcess second;
    startApp(second, runtime.path(), {});
    QVERIFY(second.waitForStarted());
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    QCOMPARE(second.readAll(), QByteArray()); // no message at all

    QTest::qWait(500);
    QCOMPARE(first.state(), QProcess::Running);
    stopApp(first);
}

void TestStartup::staleLockDoesNotBlock() {
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    const QString lockFile = runtime.filePath(QStringLiteral("com.tavrel.agentui.lock"));
    QProcess crashed;
    startApp(crashed, runtime.path(), {QStringLiteral("--tray")});
    QVERIFY(crashed.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(lockFile), 10000);
    crashed.kill(); // no chance to remove its lock
    QVERIFY(crashed.waitForFinished());
    QVERIFY(QFileInfo::exists(lockFile));

    QProcess next;
    startApp(next, runtime.path(), {QStringLiteral("--tray")});
    QVERIFY(next.waitForStarted());
    QVERIFY2(!next.waitForFinished(3000), next.readAll().constData());
    QCOMPARE(next.state(), QProcess::Running);
    stopApp(next);
}

void TestStartup::quitEntryEndsTheApp() {
    TestSandbox sandbox;
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching({QStringLiteral("tavrel-agent")});
    QVERIFY(delegate.mainWindowController()->isVisible()); // its close only hides: must not block Quit
    auto* quit = delegate.statusBarController()->menu()->findChild<QAction*>(QStringLiteral("quitMenuItem"));
    QVERIFY(quit);
    QTimer::singleShot(0, quit, &QAction::trigger);
    QCOMPARE(runEventLoop(5000), 0);
}

void TestStartup::closingWindowWithoutTrayEndsTheApp() {
    if (QSystemTrayIcon::isSystemTrayAvailable())
        QSKIP("a system tray is available here");
    TestSandbox sandbox;
    AppDelegate delegate;
    delegate.applicationDidFinishLaunching({QStringLiteral("tavrel-agent")});
    QTimer::singleShot(0, delegate.mainWindowController(), &QWidget::close);
    QCOMPARE(runEventLoop(5000), 0);
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
