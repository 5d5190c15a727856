// The status panel's display rules, one row per configuration and service state that matter.
#include "Tavrel_Agent/MainWindowDisplay.h"

#include <QTest>

namespace {
const QString dash = QStringLiteral("\u2014");
const QString registeredText = QStringLiteral("Agent is registered with Tavrel.");
const QString notRegisteredText =
    QStringLiteral("Agent is NOT registered.  Click  Setup / Settings  to register.");
const QColor green(52, 199, 89);
const QColor darkRed = QColor::fromRgbF(0.7f, 0.1f, 0.1f);
const QColor orange(255, 149, 0);
} // namespace

class TestDisplay final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void rules_data();
    void rules();
};

void TestDisplay::rules_data() {
    QTest::addColumn<QString>("computerID");
    QTest::addColumn<QString>("token");
    QTest::addColumn<QString>("clientName");
    QTest::addColumn<QString>("locationName");
    QTest::addColumn<QString>("apiBaseUrl");
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("shownID");
    QTest::addColumn<QString>("shownClient");
    QTest::addColumn<QString>("shownLocation");
    QTest::addColumn<bool>("registered");
    QTest::addColumn<QColor>("stateColor");
    QTest::addColumn<bool>("startEnabled");
    QTest::addColumn<bool>("stopEnabled");

    const QString url = QStringLiteral("https://rmm.example.net/api/v1/agentservice");
    // clang-format off
    QTest::newRow("defaults, not installed")
        << "" << "" << "Unassigned" << "" << url << "Not Installed"
        << "Not registered" << "Unassigned" << dash << false << orange << true << false;
    QTest::newRow("registered, running")
        << "C-42" << "tok" << "Acme" << "HQ" << url << "Running"
        << "C-42" << "Acme" << "HQ" << true << green << false << true;
    QTest::newRow("computer ID without token, stopped")
        << "C-42" << "" << "Acme" << "HQ" << url << "Stopped"
        << "C-42" << "Acme" << "HQ" << false << darkRed << true << false;
    QTest::newRow("token without computer ID")
        << "" << "tok" << "Acme" << "HQ" << url << "Stopped"
        << "Not registered" << "Acme" << "HQ" << false << darkRed << true << false;
    QTest::newRow("empty client and location, empty URL")
        << "C-42" << "tok" << "" << "" << "" << "Running"
        << "C-42" << dash << dash << true << green << false << true;
    QTest::newRow("placeholder state") << "" << "" << "" << "" << url << "Checking"
        << "Not registered" << dash << dash << false << orange << true << false;
    QTest::newRow("state compared exactly") << "C-42" << "tok" << "A" << "B" << url << "running"
        << "C-42" << "A" << "B" << true << orange << true << false;
    QTest::newRow("blank names are text, not empty") << "C-42" << "tok" << " " << "\t" << url << "Running"
        << "C-42" << " " << "\t" << true << green << false << true;
    // clang-format on
}

void TestDisplay::rules() {
    QFETCH(QString, computerID);
    QFETCH(QString, token);
    QFETCH(QString, clientName);
    QFETCH(QString, locationName);
    QFETCH(QString, apiBaseUrl);
    QFETCH(QString, state);
    AgentConfig config = AgentConfig::defaults();
    config.computerID = computerID;
    config.token = token;
    config.clientName = clientName;
    config.locationName = locationName;
    config.apiBaseUrl = apiBaseUrl;

    const MainWindowDisplay display = mainWindowDisplay(config, state);

    QTEST(display.computerID, "shownID");
    QTEST(display.clientName, "shownClient");
    QTEST(display.locationName, "shownLocation");
    QCOMPARE(display.apiUrl, apiBaseUrl);
    QFETCH(bool, registered);
    QCOMPARE(display.registration, registered ? registeredText : notRegisteredText);
    QCOMPARE(display.registrationColor, registered ? green : orange);
    QCOMPARE(display.serviceState, state);
    QTEST(display.serviceStateColor, "stateColor");
    QTEST(display.startEnabled, "startEnabled");
    QTEST(display.stopEnabled, "stopEnabled");
    QVERIFY(display.restartEnabled);
}

QTEST_GUILESS_MAIN(TestDisplay)
#include "tst_display.moc"
