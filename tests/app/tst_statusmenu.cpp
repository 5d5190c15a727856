// The status menu: its display rules, the disc icon, the menu as built and after each service
// state, the 3-second refresh, and Stop / Restart with their delayed re-checks.
#include "Tavrel_Agent/StatusBarController.h"
#include "Tavrel_Agent/StatusMenuDisplay.h"
#include "core/ServiceControl.h"
#include "support/TestSandbox.h"

#include <QAction>
#include <QElapsedTimer>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
const QColor green(52, 199, 89);
const QColor darkRed = QColor::fromRgbF(0.7f, 0.1f, 0.1f);
const QColor orange(255, 149, 0);

QAction* action(const StatusBarController& controller, const char* name) {
    auto* found = controller.menu()->findChild<QAction*>(QLatin1String(name));
    if (!found)
        qFatal("no menu action %s", name);
    return found;
}

QString statusTitle(const StatusBarController& controller) {
    return action(controller, "statusMenuItem")->text();
}

// The icon's colour in the disc ring, at 1x, as the 8-bit value the image holds.
QRgb iconColor(const StatusBarController& controller) {
    return controller.statusItem()->icon().pixmap(QSize(18, 18), 1.0).toImage().pixel(4, 9);
}

AgentConfig configWithID(const QString& computerID) {
    AgentConfig config = AgentConfig::defaults();
    config.computerID = computerID;
    return config; // no token: the menu shows the ID all the same
}
} // namespace

class TestStatusMenu final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void displayRules_data();
    void displayRules();
    void initialDisplay();
    void discIcon_data();
    void discIcon();
    void menuAsBuilt();
    void refreshShowsState_data();
    void refreshShowsState();
    void timerRefreshesEveryThreeSeconds();
    void serviceCommand_data();
    void serviceCommand();
    void openWindowEntry();
};

void TestStatusMenu::displayRules_data() {
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("computerID");
    QTest::addColumn<QString>("statusTitle");
    QTest::addColumn<QString>("idTitle");
    QTest::addColumn<bool>("stopEnabled");
    QTest::addColumn<bool>("restartEnabled");
    QTest::addColumn<QColor>("color");

    // clang-format off
    QTest::newRow("running") << "Running" << "C-42" << "Status: Running" << "ID: C-42" << true << true << green;
    QTest::newRow("running, unregistered")
        << "Running" << "" << "Status: Running" << "ID: Not registered" << true << true << green;
    QTest::newRow("stopped") << "Stopped" << "C-42" << "Status: Stopped" << "ID: C-42" << false << true << darkRed;
    QTest::newRow("not installed")
        << "Not Installed" << "" << "Status: Not Installed" << "ID: Not registered" << false << false << orange;
    QTest::newRow("checking") << "Checking" << "" << "Status: Checking" << "ID: Not registered"
                              << false << false << orange;
    QTest::newRow("state compared exactly") << "running" << "C-42" << "Status: running" << "ID: C-42"
                                            << false << false << orange;
    QTest::newRow("blank ID is not empty") << "Stopped" << " " << "Status: Stopped" << "ID:  " << false << true
                                           << darkRed;
    QTest::newRow("non-ASCII ID") << "Running" << "Rechner-\u00e4\u00df" << "Status: Running"
                                  << "ID: Rechner-\u00e4\u00df" << true << true << green;
    // clang-format on
}

void TestStatusMenu::displayRules() {
    QFETCH(QString, statusTitle);
    QFETCH(QString, idTitle);
    QFETCH(bool, stopEnabled);
    QFETCH(bool, restartEnabled);
    QFETCH(QColor, color);
    QFETCH(QString, state);
    QFETCH(QString, computerID);
    const StatusMenuDisplay display = statusMenuDisplay(state, computerID);
    QCOMPARE(display.statusTitle, statusTitle);
    QCOMPARE(display.computerIDTitle, idTitle);
    QCOMPARE(display.stopEnabled, stopEnabled);
    QCOMPARE(display.restartEnabled, restartEnabled);
    QCOMPARE(display.toolTip, QStringLiteral("Tavrel Agent \u2013 ") + state);
    QCOMPARE(display.iconColor, color);
}

void TestStatusMenu::initialDisplay() {
    const StatusMenuDisplay display = initialStatusMenuDisplay();
    QCOMPARE(display.statusTitle, QStringLiteral("Status: Checking\u2026"));
    QCOMPARE(display.computerIDTitle, QStringLiteral("ID: \u2014"));
    QVERIFY(!display.stopEnabled);
    QVERIFY(!display.restartEnabled);
    QVERIFY(display.toolTip.isEmpty());
    QCOMPARE(display.iconColor, orange);
}

void TestStatusMenu::discIcon_data() {
    QTest::addColumn<QColor>("color");
    QTest::newRow("green") << green;
    QTest::newRow("dark red") << darkRed;
    QTest::newRow("orange") << orange;
}

void TestStatusMenu::discIcon() {
    QFETCH(QColor, color);
    const QIcon icon = StatusBarController::discIcon(color);
    QVERIFY(!icon.isMask());
    for (const int scale : {1, 2}) {
        const QPixmap pixmap = icon.pixmap(QSize(18, 18), qreal(scale));
        QCOMPARE(pixmap.size(), QSize(18 * scale, 18 * scale)); // drawn at this scale, not stretched
        QCOMPARE(pixmap.devicePixelRatio(), qreal(scale));
        const QImage image = pixmap.toImage();
        const auto at = [&](int x, int y) {
            return image.pixelColor(x * scale, y * scale);
        };
        QCOMPARE(at(0, 0).alpha(), 0);
        // The 14-point disc spans x = 2 … 16 across the middle row.
        QCOMPARE(at(1, 9).alpha(), 0);
        QCOMPARE(at(16, 9).alpha(), 0);
        QCOMPARE(at(3, 9).rgba(), color.rgba());
        QCOMPARE(at(14, 9).rgba(), color.rgba());
        // The 6-point white dot spans x = 6 … 12.
        QCOMPARE(at(5, 9).rgba(), color.rgba());
        QCOMPARE(at(12, 9).rgba(), color.rgba());
        QCOMPARE(at(9, 9).rgba(), QColor(Qt::white).rgba());
        QCOMPARE(at(8, 8).rgba(), QColor(Qt::white).rgba());
    }
}

void TestStatusMenu::menuAsBuilt() {
    TestSandbox sandbox;
    QVERIFY(sandbox.startAgentProcess());
    const StatusBarController controller([] {});
    // Nothing has been shown yet: the first check's update waits for the event loop.
    const QList<QAction*> actions = controller.menu()->actions();
    QStringList titles;
    QList<bool> enabled;
    for (const QAction* entry : actions) {
        titles << (entry->isSeparator() ? QStringLiteral("---") : entry->text());
        enabled << entry->isEnabled();
        if (entry->objectName() != QLatin1String("quitMenuItem"))
            QVERIFY2(entry->shortcut().isEmpty(), qPrintable(entry->text()));
    }
    QCOMPARE(titles, (QStringList{QStringLiteral("Status: Checking\u2026"), QStringLiteral("ID: \u2014"),
                                  QStringLiteral("---"), QStringLiteral("Stop Service"),
                                  QStringLiteral("Restart Service"), QStringLiteral("---"),
                                  QStringLiteral("Open Tavrel Agent\u2026"), QStringLiteral("---"),
                                  QStringLiteral("Quit")}));
    QCOMPARE(enabled, (QList<bool>{false, false, true, false, false, true, true, true, true}));
    QCOMPARE(actions.at(0), action(controller, "statusMenuItem"));
    QCOMPARE(actions.at(1), action(controller, "computerIDMenuItem"));
    QCOMPARE(actions.at(3), action(controller, "stopMenuItem"));
    QCOMPARE(actions.at(4), action(controller, "restartMenuItem"));
    QCOMPARE(actions.at(6), action(controller, "openWindowMenuItem"));
    QCOMPARE(actions.at(8), action(controller, "quitMenuItem"));
    QCOMPARE(action(controller, "quitMenuItem")->shortcut(), QKeySequence(QKeySequence::Quit));
    QVERIFY(controller.statusItem()->toolTip().isEmpty());
    QCOMPARE(iconColor(controller), orange.rgba());

    // The check made during construction shows as soon as the event loop runs, not 3 s later.
    QCoreApplication::processEvents();
    QCOMPARE(statusTitle(controller), QStringLiteral("Status: Running"));
}

void TestStatusMenu::refreshShowsState_data() {
    QTest::addColumn<bool>("agentRunning");
    QTest::addColumn<bool>("definitionPresent");
    QTest::addColumn<QString>("computerID"); // "-" for no configuration file
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("idTitle");
    QTest::addColumn<bool>("stopEnabled");
    QTest::addColumn<bool>("restartEnabled");
    QTest::addColumn<QColor>("color");

    // clang-format off
    QTest::newRow("agent process, no definition") << true << false << "C-42" << "Running" << "ID: C-42"
                                                  << true << true << green;
    QTest::newRow("agent process and definition") << true << true << "-" << "Running" << "ID: Not registered"
                                                  << true << true << green;
    QTest::newRow("definition alone") << false << true << "C-42" << "Stopped" << "ID: C-42"
                                      << false << true << darkRed;
    QTest::newRow("neither") << false << false << "-" << "Not Installed" << "ID: Not registered"
                             << false << false << orange;
    // clang-format on
}

void TestStatusMenu::refreshShowsState() {
    QFETCH(bool, definitionPresent);
    QFETCH(QString, idTitle);
    QFETCH(bool, stopEnabled);
    QFETCH(bool, restartEnabled);
    QFETCH(QColor, color);
    QFETCH(bool, agentRunning);
    QFETCH(QString, computerID);
    QFETCH(QString, state);
    TestSandbox sandbox;
    sandbox.setServiceDefinition(definitionPresent);
    if (agentRunning)
        QVERIFY(sandbox.startAgentProcess());
    if (computerID != QLatin1String("-"))
        sandbox.writeConfig(configWithID(computerID));

    const StatusBarController controller([] {});
    QTRY_COMPARE(statusTitle(controller), QStringLiteral("Status: ") + state);
    QCOMPARE(action(controller, "computerIDMenuItem")->text(), idTitle);
    QVERIFY(!action(controller, "statusMenuItem")->isEnabled());
    QVERIFY(!action(controller, "computerIDMenuItem")->isEnabled());
    QCOMPARE(action(controller, "stopMenuItem")->isEnabled(), stopEnabled);
    QCOMPARE(action(controller, "restartMenuItem")->isEnabled(), restartEnabled);
    QCOMPARE(controller.statusItem()->toolTip(), QStringLiteral("Tavrel Agent \u2013 ") + state);
    QCOMPARE(iconColor(controller), color.rgba());
}

void TestStatusMenu::timerRefreshesEveryThreeSeconds() {
    TestSandbox sandbox;
    const StatusBarController controller([] {});
    QTRY_COMPARE(statusTitle(controller), QStringLiteral("Status: Not Installed"));
    sandbox.setServiceDefinition(true);
    sandbox.writeConfig(configWithID(QStringLiteral("C-7")));
    QTRY_COMPARE_WITH_TIMEOUT(statusTitle(controller), QStringLiteral("Status: Stopped"), 5000);
    QCOMPARE(action(controller, "computerIDMenuItem")->text(), QStringLiteral("ID: C-7"));
    QCOMPARE(iconColor(controller), darkRed.rgba());
}

void TestStatusMenu::serviceCommand_data() {
    QTest::addColumn<QByteArray>("entry");
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("commandSucceeds");

    QTest::newRow("stop") << QByteArray("stopMenuItem") << stopServiceCommand() << 1500 << true;
    QTest::newRow("stop refused") << QByteArray("stopMenuItem") << stopServiceCommand() << 1500 << false;
    QTest::newRow("restart") << QByteArray("restartMenuItem") << restartServiceCommand() << 4000 << true;
}

void TestStatusMenu::serviceCommand() {
    QFETCH(bool, commandSucceeds);
    QFETCH(QString, command);
    QFETCH(QByteArray, entry);
    QFETCH(int, delayMs);
    TestSandbox sandbox;
    sandbox.setServiceDefinition(true);
    QVERIFY(sandbox.startAgentProcess());
    sandbox.recordPrivilegedCommands(commandSucceeds);
    QCOMPARE(stopServiceCommand(), QStringLiteral("systemctl stop com.tavrel.agentservice.service"));

    const StatusBarController controller([] {});
    QTRY_COMPARE(statusTitle(controller), QStringLiteral("Status: Running"));
    // Without the 3-second ticks, the only refresh left is the re-check after the command.
    auto* timer = controller.findChild<QTimer*>(QStringLiteral("refreshTimer"));
    QVERIFY(timer && timer->isActive());
    QCOMPARE(timer->interval(), 3000);
    timer->stop();

    action(controller, entry.constData())->trigger();
    QElapsedTimer sinceCommand;
    sinceCommand.start();
    QCOMPARE(sandbox.privilegedCommands(), QStringList{command});
    // Whatever the command's result, the state is read again after the delay: change it now.
    sandbox.stopAgentProcess();

    QTest::qWait(int(delayMs - 150 - sinceCommand.elapsed()));
    QCOMPARE(statusTitle(controller), QStringLiteral("Status: Running"));
    QTRY_COMPARE_WITH_TIMEOUT(statusTitle(controller), QStringLiteral("Status: Stopped"), 2000);
    QCOMPARE(iconColor(controller), darkRed.rgba());
    QCOMPARE(sandbox.privilegedCommands().size(), 1);
}

void TestStatusMenu::openWindowEntry() {
    TestSandbox sandbox;
    int opened = 0;
    const StatusBarController controller([&opened] { ++opened; });
    QAction* open = action(controller, "openWindowMenuItem");
    open->trigger();
    open->trigger();
    QCOMPARE(opened, 2);
}

QTEST_MAIN(TestStatusMenu)
#include "tst_statusmenu.moc"
