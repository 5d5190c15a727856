// The main window as a person sees it: layout, the status panel in each service state and
// configuration, the service buttons with their alerts and delayed refreshes, Copy, the setup
// sheet, and closing (which only hides).
#include "Tavrel_Agent/Dialogs.h"
#include "Tavrel_Agent/MainWindowController.h"
#include "Tavrel_Agent/SetupWindowController.h"
#include "core/ServiceControl.h"
#include "core/SystemInfo.h"
#include "core/Version.h"
#include "support/TestSandbox.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <memory>

namespace {
const QString dash = QStringLiteral("\u2014");
const QColor green(52, 199, 89);
const QColor darkRed = QColor::fromRgbF(0.7f, 0.1f, 0.1f);
const QColor orange(255, 149, 0);

AgentConfig registeredConfig() {
    AgentConfig config = AgentConfig::defaults();
    config.computerID = QStringLiteral("7f3c2a91-C0FFEE");
    config.token = QStringLiteral("secret-token");
    config.clientID = QStringLiteral("17");
    config.clientName = QStringLiteral("Acme Dental");
    config.locationName = QStringLiteral("Main Street");
    config.apiBaseUrl = QStringLiteral("https://rmm.example.net/api/v1/agentservice");
    return config;
}

template <typename T> T* find(const QWidget& window, const char* name) {
    return window.findChild<T*>(QLatin1String(name));
}

QString text(const QWidget& window, const char* name) {
    if (auto* label = find<QLabel>(window, name))
        return label->text();
    if (auto* field = find<QLineEdit>(window, name))
        return field->text();
    return QStringLiteral("<missing %1>").arg(QLatin1String(name));
}

QColor color(const QWidget& window, const char* name) {
    return find<QWidget>(window, name)->palette().color(QPalette::WindowText);
}

// Only the refreshes under test may change the panel.
void stopTimer(const QWidget& window) {
    window.findChild<QTimer*>(QStringLiteral("refreshTimer"))->stop();
}
} // namespace

class TestWindow final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void init();
    void cleanup();
    void frames_data();
    void frames();
    void windowAndViews();
    void panel_data();
    void panel();
    void serviceButtons_data();
    void serviceButtons();
    void copyComputerID_data();
    void copyComputerID();
    void setupSheetRefreshesWhenItEnds();
    void closingOnlyHides();

private:
    // The panel after its first queued update.
    void waitForPanel(const QWidget& window);

    std::unique_ptr<TestSandbox> sandbox;
    QStringList alerts;
};

void TestWindow::init() {
    sandbox = std::make_unique<TestSandbox>();
    alerts.clear();
    Dialogs::setHook([this](QMessageBox& box) {
        QVERIFY(box.informativeText().isEmpty());
        alerts.append(box.text());
    });
}

void TestWindow::cleanup() {
    Dialogs::setHook({});
    sandbox.reset();
}

void TestWindow::waitForPanel(const QWidget& window) {
    QTRY_VERIFY(text(window, "lblServiceStatus") != dash);
}

void TestWindow::frames_data() {
    QTest::addColumn<QString>("view"); // object name, or the text of a fixed label
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("frame");
    const QString window = QStringLiteral("window");
    const QString box = QStringLiteral("identityBox");
    const QString header = QStringLiteral("header");
    // clang-format off
    const struct { const char* view; const QString& parent; QRect frame; } rows[] = {
        {"header", window, {0, 0, 540, 77}},
        {"logo", header, {10, 10, 57, 57}},
        {"title", header, {78, 33, 440, 24}},
        {"accentStripe", window, {0, 77, 540, 3}},
        {"identityBox", window, {16, 94, 492, 199}},
        {"Service Status:", box, {10, 10, 120, 18}},
        {"lblServiceStatus", box, {136, 10, 342, 18}},
        {"Computer:", box, {10, 34, 120, 18}},
        {"lblComputerName", box, {136, 34, 342, 18}},
        {"Computer ID:", box, {10, 58, 120, 18}},
        {"txtComputerID", box, {136, 58, 230, 18}},
        {"btnCopy", box, {374, 56, 104, 24}},
        {"Client Name:", box, {10, 82, 120, 18}},
        {"lblClientName", box, {136, 82, 342, 18}},
        {"Location Name:", box, {10, 106, 120, 18}},
        {"lblLocationName", box, {136, 106, 342, 18}},
        {"API URL:", box, {10, 130, 120, 18}},
        {"lblApiUrl", box, {136, 130, 342, 18}},
        {"Agent Version:", box, {10, 154, 120, 18}},
        {"lblAgentVersion", box, {136, 154, 342, 18}},
        {"lblRegStatus", window, {16, 299, 492, 22}},
        {"Service Control", window, {16, 329, 492, 18}},
        {"btnStart", window, {16, 351, 100, 28}},
        {"btnStop", window, {126, 351, 100, 28}},
        {"btnRestart", window, {236, 351, 100, 28}},
        {"btnSettings", window, {16, 391, 160, 28}},
        {"Activity Log", window, {16, 437, 492, 18}},
        {"logView", window, {16, 459, 492, 200}},
    };
    // clang-format on
    for (const auto& row : rows)
        QTest::newRow(row.view) << QString::fromLatin1(row.view) << row.parent << row.frame;
}

void TestWindow::frames() {
    QFETCH(QString, view);
    QFETCH(QString, parent);
    MainWindowController window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    QWidget* found = window.findChild<QWidget*>(view);
    if (!found) {
        const QList<QLabel*> labels = window.findChildren<QLabel*>();
        for (QLabel* label : labels)
            found = label->text() == view ? label : found;
    }
    QVERIFY2(found, qPrintable(view));
    QCOMPARE(found->parentWidget() == &window ? QStringLiteral("window")
                                              : found->parentWidget()->objectName(),
             parent);
    QTEST(found->geometry(), "frame");
    QVERIFY(found->isVisible());
}

void TestWindow::windowAndViews() {
    MainWindowController window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Tavrel Agent Service"));
    QCOMPARE(window.size(), QSize(540, 780));
    QCOMPARE(window.minimumSize(), QSize(540, 780));
    QCOMPARE(window.maximumSize(), QSize(540, 780));
    const Qt::WindowFlags flags = window.windowFlags();
    QVERIFY(flags.testFlag(Qt::WindowMinimizeButtonHint));
    QVERIFY(flags.testFlag(Qt::WindowCloseButtonHint));
    QVERIFY(!flags.testFlag(Qt::WindowMaximizeButtonHint));

    // Filled once at construction; the rest waits for the first queued refresh.
    QCOMPARE(text(window, "lblComputerName"), SystemInfo::computerName());
    QCOMPARE(text(window, "lblAgentVersion"), appVersion());
    for (const char* name : {"lblServiceStatus", "lblClientName", "lblLocationName", "lblApiUrl"})
        QCOMPARE(text(window, name), dash);

    auto* id = find<QLineEdit>(window, "txtComputerID");
    QVERIFY(id->isReadOnly());
    QVERIFY(!id->hasFrame());
    QCOMPARE(find<QLabel>(window, "lblClientName")->textInteractionFlags(), Qt::NoTextInteraction);

    auto* log = find<QPlainTextEdit>(window, "logView");
    QVERIFY(log->isReadOnly());
    QVERIFY(log->textInteractionFlags().testFlag(Qt::TextSelectableByMouse));
    QCOMPARE(log->maximumBlockCount(), 300);
    QCOMPARE(log->font().pixelSize(), 8);
    const QFontMetrics metrics(log->font());
    QCOMPARE(metrics.horizontalAdvance(QLatin1Char('i')), metrics.horizontalAdvance(QLatin1Char('W')));
    QCOMPARE(log->palette().color(QPalette::Base), QColor(18, 18, 18));
    QCOMPARE(log->palette().color(QPalette::Text), QColor(0, 220, 80));
    QCOMPARE(find<QWidget>(window, "accentStripe")->palette().color(QPalette::Window), QColor(184, 20, 20));

    // Both logo images are built in; the 2x one is twice the size.
    QCOMPARE(QPixmap(QStringLiteral(":/logo-letters.png")).size(), QSize(57, 57));
    QCOMPARE(QPixmap(QStringLiteral(":/logo-letters@2x.png")).size(), QSize(114, 114));
}

void TestWindow::panel_data() {
    QTest::addColumn<QString>("configuration");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QStringList>("values"); // computer ID, client, location, API URL
    QTest::addColumn<bool>("registered");
    QTest::addColumn<QColor>("stateColor");
    QTest::addColumn<bool>("startEnabled");
    QTest::addColumn<bool>("stopEnabled");

    const AgentConfig reg = registeredConfig();
    const QString defaultUrl = AgentConfig::defaults().apiBaseUrl;
    // clang-format off
    QTest::newRow("no configuration, not installed") << "none" << "Not Installed"
        << QStringList{"Not registered", "Unassigned", dash, defaultUrl} << false << orange << true << false;
    QTest::newRow("unreadable configuration, stopped") << "garbage" << "Stopped"
        << QStringList{"Not registered", "Unassigned", dash, defaultUrl} << false << darkRed << true << false;
    QTest::newRow("registered, running") << "registered" << "Running"
        << QStringList{reg.computerID, reg.clientName, reg.locationName, reg.apiBaseUrl}
        << true << green << false << true;
    QTest::newRow("computer ID without token, stopped") << "no token" << "Stopped"
        << QStringList{reg.computerID, reg.clientName, reg.locationName, reg.apiBaseUrl}
        << false << darkRed << true << false;
    QTest::newRow("empty client, location and URL, running") << "empty names" << "Running"
        << QStringList{reg.computerID, dash, dash, QString()} << true << green << false << true;
    // clang-format on
}

void TestWindow::panel() {
    QFETCH(QString, configuration);
    QFETCH(QString, state);
    QFETCH(QStringList, values);
    AgentConfig config = registeredConfig();
    if (configuration == QLatin1String("garbage"))
        sandbox->writeConfigBytes("{\"computerID\": 42}");
    if (configuration == QLatin1String("no token"))
        config.token.clear();
    if (configuration == QLatin1String("empty names")) {
        config.clientName.clear();
        config.locationName.clear();
        config.apiBaseUrl.clear();
    }
    if (configuration != QLatin1String("none") && configuration != QLatin1String("garbage"))
        sandbox->writeConfig(config);
    if (state == QLatin1String(ServiceState::Running))
        QVERIFY(sandbox->startAgentProcess());
    sandbox->setServiceDefinition(state == QLatin1String(ServiceState::Stopped));

    MainWindowController window;
    waitForPanel(window);

    QCOMPARE(text(window, "lblServiceStatus"), state);
    QTEST(color(window, "lblServiceStatus"), "stateColor");
    QCOMPARE((QStringList{text(window, "txtComputerID"), text(window, "lblClientName"),
                          text(window, "lblLocationName"), text(window, "lblApiUrl")}),
             values);
    QFETCH(bool, registered);
    QCOMPARE(text(window, "lblRegStatus"),
             registered ? QStringLiteral("Agent is registered with Tavrel.")
                        : QStringLiteral("Agent is NOT registered.  Click  Setup / Settings  to register."));
    QCOMPARE(color(window, "lblRegStatus"), registered ? green : orange);
    QTEST(find<QPushButton>(window, "btnStart")->isEnabled(), "startEnabled");
    QTEST(find<QPushButton>(window, "btnStop")->isEnabled(), "stopEnabled");
    QVERIFY(find<QPushButton>(window, "btnRestart")->isEnabled());
    QVERIFY(find<QPushButton>(window, "btnSettings")->isEnabled());
    QVERIFY(find<QPushButton>(window, "btnCopy")->isEnabled());
}

void TestWindow::serviceButtons_data() {
    QTest::addColumn<QString>("button");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QString>("alert");

    const QString start =
        QStringLiteral("Failed to start the service. Check that the LaunchDaemon is installed.");
    QTest::newRow("start") << "btnStart" << true << 1500 << QString();
    QTest::newRow("start fails") << "btnStart" << false << 1500 << start;
    QTest::newRow("stop") << "btnStop" << true << 1500 << QString();
    QTest::newRow("stop fails") << "btnStop" << false << 1500
                                << QStringLiteral("Failed to stop the service.");
    QTest::newRow("restart") << "btnRestart" << true << 4000 << QString();
    QTest::newRow("restart fails") << "btnRestart" << false << 4000
                                   << QStringLiteral("Failed to restart the service.");
}

void TestWindow::serviceButtons() {
    QFETCH(QString, button);
    QFETCH(bool, succeeds);
    QFETCH(int, delayMs);
    QFETCH(QString, alert);
    // Stop is offered only while the agent runs; the recorded command changes nothing.
    if (button == QLatin1String("btnStop"))
        QVERIFY(sandbox->startAgentProcess());
    sandbox->recordPrivilegedCommands(succeeds);
    const QString command = button == QLatin1String("btnStart")  ? startServiceCommand()
                            : button == QLatin1String("btnStop") ? stopServiceCommand()
                                                                 : restartServiceCommand();
    MainWindowController window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    waitForPanel(window);
    stopTimer(window);
    auto* target = window.findChild<QPushButton*>(button);
    QVERIFY(target->isEnabled());

    QTest::mouseClick(target, Qt::LeftButton);
    QVERIFY(!target->isEnabled());
    QCOMPARE(sandbox->privilegedCommands(), QStringList{command});
    QTest::qWait(delayMs - 700);
    QCOMPARE(alerts, alert.isEmpty() ? QStringList() : QStringList{alert});
    QVERIFY2(!target->isEnabled(), "re-enabled before the delayed refresh");
    QTRY_VERIFY_WITH_TIMEOUT(target->isEnabled(), 1500);
    QCOMPARE(alerts.size(), alert.isEmpty() ? 0 : 1);
}

void TestWindow::copyComputerID_data() {
    QTest::addColumn<bool>("registered");
    QTest::addColumn<QString>("clipboard");
    QTest::newRow("registered") << true << registeredConfig().computerID;
    QTest::newRow("not registered") << false << QStringLiteral("what was there");
}

void TestWindow::copyComputerID() {
    QFETCH(bool, registered);
    if (registered)
        sandbox->writeConfig(registeredConfig());
    QGuiApplication::clipboard()->setText(QStringLiteral("what was there"));
    MainWindowController window;
    waitForPanel(window);
    find<QPushButton>(window, "btnCopy")->click();
    QTEST(QGuiApplication::clipboard()->text(), "clipboard");
}

void TestWindow::setupSheetRefreshesWhenItEnds() {
    MainWindowController window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    waitForPanel(window);
    stopTimer(window);

    for (const QString& client : {QStringLiteral("First"), QStringLiteral("Second")}) {
        find<QPushButton>(window, "btnSettings")->click();
        QPointer<SetupWindowController> sheet = window.findChild<SetupWindowController*>();
        QVERIFY(sheet);
        QVERIFY(sheet->isVisible());
        QCOMPARE(sheet->windowModality(), Qt::WindowModal);
        QCOMPARE(sheet->parentWidget(), &window);

        AgentConfig config = registeredConfig();
        config.clientName = client;
        sandbox->writeConfig(config);
        sheet->reject();
        QTRY_COMPARE(text(window, "lblClientName"), client);
        QTRY_VERIFY(!sheet);
    }
}

void TestWindow::closingOnlyHides() {
    auto window = std::make_unique<MainWindowController>();
    QPointer<MainWindowController> alive = window.get();
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    waitForPanel(*window);

    QVERIFY(!window->close());
    QVERIFY(alive);
    QVERIFY(!window->isVisible());

    // Hidden, it keeps refreshing the panel and following the log.
    sandbox->writeConfig(registeredConfig());
    sandbox->appendLog("[2026-12-06T09:00:01Z] [INFO] while hidden\n");
    QTRY_COMPARE_WITH_TIMEOUT(text(*window, "lblClientName"), registeredConfig().clientName, 5000);
    auto* log = find<QPlainTextEdit>(*window, "logView");
    QTRY_VERIFY_WITH_TIMEOUT(log->toPlainText().endsWith(QLatin1String("while hidden")), 5000);

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window.get()));
    QVERIFY(log->toPlainText().endsWith(QLatin1String("while hidden")));
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
