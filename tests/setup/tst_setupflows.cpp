// The sheet's Register, Save, Unregister and Re-authenticate flows, driven through its widgets on a
// sandboxed agent installation (privileged commands really run, unprivileged) against a real HTTP
// server in this process. Each case checks what the user sees, the stored configuration, the
// activity log and what the server received.
#include "Tavrel_Agent/Dialogs.h"
#include "Tavrel_Agent/MainWindowController.h"
#include "Tavrel_Agent/SetupWindowController.h"
#include "Tavrel_Agent/ViewHelpers.h"
#include "support/TestSandbox.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>

#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Received {
    QString path;
    QJsonObject body;
};

// A real HTTP server on 127.0.0.1 answering each endpoint as scripted, after an optional delay,
// and recording every request.
class StubServer final {
public:
    struct Answer {
        int status = 500;
        std::string body = "{}";
        int delayMs = 0;
    };

    StubServer() {
        server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
            const std::string path = request.path;
            const std::string endpoint = path.ends_with("/deregister/") ? "deregister/" : "register/";
            Answer answer;
            {
                const std::lock_guard lock(mutex_);
                received_.push_back(
                    {QString::fromStdString(path),
                     QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object()});
                answer = answers_[endpoint];
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
            response.status = answer.status;
            response.set_content(answer.body, "application/json");
            const std::lock_guard lock(mutex_);
            ++answered_;
        });
        // One request per connection: a kept-alive connection would hold stop() for seconds.
        server_.set_keep_alive_max_count(1);
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // stop() is lost on a server that has not started listening yet, and join() would hang.
        while (port_ > 0 && !server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~StubServer() {
        server_.stop();
        thread_.join();
    }
    StubServer(const StubServer&) = delete;
    StubServer& operator=(const StubServer&) = delete;

    QString baseUrl() const {
        return QStringLiteral("http://127.0.0.1:") + QString::number(port_) +
               QStringLiteral("/api/v1/agentservice");
    }
    void answer(const std::string& endpoint, Answer answer) {
        const std::lock_guard lock(mutex_);
        answers_[endpoint] = std::move(answer);
    }
    std::vector<Received> received() const {
        const std::lock_guard lock(mutex_);
        return received_;
    }
    int answered() const {
        const std::lock_guard lock(mutex_);
        return answered_;
    }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, Answer> answers_;
    std::vector<Received> received_;
    int answered_ = 0;
};

const QString logBefore = QStringLiteral("[2025-01-01T00:00:00Z] [INFO] earlier line\n");
const std::string registered200 = R"({"computerID":"C-1001","token":"T-abc","clientID":"CL-7"})";

template <typename T = QWidget> T* child(const QWidget& parent, const char* name) {
    auto* widget = parent.findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no widget named %s", name);
    return widget;
}

// Types like a user where the key events can carry the text; tabs and other blanks are inserted.
void type(QLineEdit* field, const QString& text) {
    field->clear();
    field->setFocus();
    const bool printable = std::all_of(text.cbegin(), text.cend(),
                                       [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x7f; });
    if (printable)
        QTest::keyClicks(field, text);
    else
        field->insert(text);
    QCOMPARE(field->text(), text);
}

QString statusText(const QWidget& sheet) {
    return child<QLabel>(sheet, "lblStatus")->text();
}

QColor statusColor(const QWidget& sheet) {
    return Style::textColor(child<QLabel>(sheet, "lblStatus"));
}

QRegularExpression logLinePattern(const QString& message) {
    return QRegularExpression(
        QStringLiteral("^\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\\] \\[INFO\\] ") +
        QRegularExpression::escape(message) + QStringLiteral("\\n$"));
}

// A loopback port with nobody listening.
int closedPort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

} // namespace

class TestSetupFlows final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void registerChecks_data();
    void registerChecks();
    void registerSucceeds_data();
    void registerSucceeds();
    void registerFails_data();
    void registerFails();
    void answerAfterSheetEnded_data();
    void answerAfterSheetEnded();
    void save_data();
    void save();
    void unregisterCancelled();
    void unregister_data();
    void unregister();
    void reauthChecks_data();
    void reauthChecks();
    void reauthSucceeds();
    void reauthFails();
    void reauthWhileOtherActions_data();
    void reauthWhileOtherActions();
    void mainWindowShowsNewIdentity();

private:
    AgentConfig unregisteredConfig() const;
    AgentConfig registeredConfig() const;
    // Builds the sheet on the stored config and shows it.
    void openSheet(const AgentConfig& config);
    // Milliseconds from now until the sheet ends (-1 when it does not within the timeout).
    qint64 msUntilClosed(int timeoutMs = 4000);
    void openReauthBox();
    QLineEdit* fieldNamed(const char* name) const { return child<QLineEdit>(*sheet, name); }
    QPushButton* buttonNamed(const char* name) const { return child<QPushButton>(*sheet, name); }

    std::unique_ptr<TestSandbox> sandbox;
    std::unique_ptr<StubServer> server;
    std::unique_ptr<SetupWindowController> sheet;
    std::unique_ptr<QSignalSpy> finished;
};

AgentConfig TestSetupFlows::unregisteredConfig() const {
    AgentConfig config = AgentConfig::defaults();
    config.apiBaseUrl = server->baseUrl();
    config.agentVersion = QStringLiteral("7.7.7-file");
    return config;
}

AgentConfig TestSetupFlows::registeredConfig() const {
    return {QStringLiteral("C-42"),      QStringLiteral("tok-stored"), QStringLiteral("CL-old"),
            QStringLiteral("Acme"),      QStringLiteral("Berlin"),     server->baseUrl(),
            QStringLiteral("7.7.7-file")};
}

void TestSetupFlows::init() {
    sandbox = std::make_unique<TestSandbox>();
    server = std::make_unique<StubServer>();
    sandbox->writeLog(logBefore.toUtf8());
}

void TestSetupFlows::cleanup() {
    Dialogs::setHook({});
    finished.reset();
    sheet.reset();
    server.reset();
    sandbox.reset();
}

void TestSetupFlows::openSheet(const AgentConfig& config) {
    sandbox->writeConfig(config);
    sheet = std::make_unique<SetupWindowController>();
    finished = std::make_unique<QSignalSpy>(sheet.get(), &QDialog::finished);
    sheet->show();
    QVERIFY(QTest::qWaitForWindowExposed(sheet.get()));
}

qint64 TestSetupFlows::msUntilClosed(int timeoutMs) {
    QElapsedTimer clock;
    clock.start();
    if (finished->isEmpty() && !finished->wait(timeoutMs))
        return -1;
    return clock.elapsed();
}

void TestSetupFlows::openReauthBox() {
    buttonNamed("btnReauthToggle")->click();
    QVERIFY(child(*sheet, "reauthBox")->isVisible());
}

// ---- Registration ----

void TestSetupFlows::registerChecks_data() {
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("apiUrl"); // "URL" stands for the server's
    QTest::addColumn<QString>("message");

    // clang-format off
    QTest::newRow("all empty: username first") << "" << "" << "" << "Username is required.";
    QTest::newRow("blank username") << " \t " << "pw" << "URL" << "Username is required.";
    QTest::newRow("no password") << "alice" << "" << "URL" << "Password is required.";
    QTest::newRow("no URL") << "alice" << "pw" << "" << "API URL is required.";
    QTest::newRow("URL of slashes and blanks") << "alice" << "pw" << QStringLiteral(" /// \u00A0")
                                               << "API URL is required.";
    // clang-format on
}

void TestSetupFlows::registerChecks() {
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(QString, apiUrl);
    QFETCH(QString, message);
    openSheet(unregisteredConfig());
    const QByteArray configBefore = sandbox->configBytes();
    type(fieldNamed("txtUsername"), username);
    type(fieldNamed("txtPassword"), password);
    type(fieldNamed("txtApiUrl"), apiUrl.replace(QLatin1String("URL"), server->baseUrl()));

    auto* button = buttonNamed("btnRegister");
    button->click();
    QCOMPARE(statusText(*sheet), message);
    QCOMPARE(statusColor(*sheet), Style::errorColor());
    QVERIFY(button->isEnabled());
    QTest::qWait(200);
    QVERIFY(server->received().empty());
    QCOMPARE(sandbox->configBytes(), configBefore);
}

void TestSetupFlows::registerSucceeds_data() {
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("clientName");
    QTest::addColumn<QString>("locationName");
    QTest::addColumn<QString>("apiUrl"); // "URL" stands for the server's
    QTest::addColumn<QString>("sentClient");
    QTest::addColumn<QString>("sentLocation");

    // CANARY stands for a file that must never be created.
    const QString hostileClient = QStringLiteral("Ac\"me' $(touch CANARY) `touch CANARY` back\\slash \\c %s");
    const QString hostileLocation = QStringLiteral("-n \"; touch CANARY; \" \\\\ $HOME");
    // clang-format off
    QTest::newRow("plain") << "alice" << "s3cret" << "Acme" << "Berlin" << "URL" << "Acme" << "Berlin";
    QTest::newRow("blank password sent as typed, user trimmed")
        << QStringLiteral("\u2003alice\t") << "   " << " Acme " << "Berlin" << "URL" << "Acme" << "Berlin";
    QTest::newRow("blank client is Unassigned")
        << "alice" << "pw" << QStringLiteral(" \t\u00A0") << "Berlin" << "URL" << "Unassigned" << "Berlin";
    QTest::newRow("blank location") << "alice" << "pw" << "Acme" << "  " << "URL" << "Acme" << "";
    QTest::newRow("URL slashes and blanks dropped")
        << "alice" << "pw" << "Acme" << "Berlin" << " URL/// " << "Acme" << "Berlin";
    QTest::newRow("hostile text kept exactly")
        << "alice" << "pw" << hostileClient << hostileLocation << "URL" << hostileClient << hostileLocation;
    // clang-format on
}

void TestSetupFlows::registerSucceeds() {
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(QString, clientName);
    QFETCH(QString, locationName);
    QFETCH(QString, apiUrl);
    QFETCH(QString, sentClient);
    QFETCH(QString, sentLocation);
    const QString canary = sandbox->path(QStringLiteral("canary"));
    clientName.replace(QLatin1String("CANARY"), canary);
    locationName.replace(QLatin1String("CANARY"), canary);
    sentClient.replace(QLatin1String("CANARY"), canary);
    sentLocation.replace(QLatin1String("CANARY"), canary);
    server->answer("register/", {200, registered200});
    openSheet(unregisteredConfig());

    type(fieldNamed("txtUsername"), username);
    type(fieldNamed("txtPassword"), password);
    type(fieldNamed("txtClientName"), clientName);
    type(fieldNamed("txtLocationName"), locationName);
    type(fieldNamed("txtApiUrl"), apiUrl.replace(QLatin1String("URL"), server->baseUrl()));
    auto* button = buttonNamed("btnRegister");
    button->click();
    QCOMPARE(statusText(*sheet), QStringLiteral("Registering\u2026"));
    QCOMPARE(statusColor(*sheet), Style::successColor());
    QVERIFY(!button->isEnabled());
    // The agent version is the file's at the moment the answer is handled.
    AgentConfig changed = unregisteredConfig();
    changed.agentVersion = QStringLiteral("8.0.0-meanwhile");
    sandbox->writeConfig(changed);

    QTRY_COMPARE(statusText(*sheet), QStringLiteral("Registration successful!"));
    const qint64 closedAfter = msUntilClosed();
    QCOMPARE(statusColor(*sheet), Style::successColor());
    QVERIFY(!button->isEnabled());

    const auto received = server->received();
    QCOMPARE(received.size(), size_t(1));
    QCOMPARE(received[0].path, QStringLiteral("/api/v1/agentservice/register/"));
    QCOMPARE(received[0].body.value(QLatin1String("username")).toString(), QStringLiteral("alice"));
    QCOMPARE(received[0].body.value(QLatin1String("password")).toString(), password);
    QCOMPARE(received[0].body.value(QLatin1String("clientName")).toString(), sentClient);
    QCOMPARE(received[0].body.value(QLatin1String("locationName")).toString(), sentLocation);
    QVERIFY(!received[0].body.contains(QLatin1String("computerID")));

    const AgentConfig expected{
        QStringLiteral("C-1001"), QStringLiteral("T-abc"), QStringLiteral("CL-7"), sentClient, sentLocation,
        server->baseUrl(),        changed.agentVersion};
    QCOMPARE(AgentConfig::fromJson(sandbox->configBytes()), std::optional(expected));

    const QString log = QString::fromUtf8(sandbox->logBytes());
    QVERIFY(log.startsWith(logBefore));
    const QString message = QStringLiteral("Agent registered successfully. ComputerID: C-1001 Client: ") +
                            sentClient + QStringLiteral(" Location: ") + sentLocation;
    const QString added = log.mid(logBefore.size());
    QVERIFY2(logLinePattern(message).match(added).hasMatch(), qPrintable(added));
    QVERIFY(!QFile::exists(canary));

    QVERIFY2(closedAfter >= 1000, qPrintable(QString::number(closedAfter)));
}

void TestSetupFlows::registerFails_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("body");
    QTest::addColumn<QString>("shown");

    // clang-format off
    QTest::newRow("401 with message") << 401 << R"({"message":"Invalid credentials"})" << "Invalid credentials";
    QTest::newRow("502 without message") << 502 << "{}" << "Registration failed (HTTP 502).";
    QTest::newRow("200 without token") << 200 << R"({"computerID":"C-1"})" << "Registration failed (HTTP 200).";
    QTest::newRow("not JSON") << 200 << "oops" << "Parse error: Could not parse server response";
    // clang-format on
}

void TestSetupFlows::registerFails() {
    QFETCH(int, status);
    QFETCH(QString, body);
    QFETCH(QString, shown);
    server->answer("register/", {status, body.toStdString()});
    openSheet(unregisteredConfig());
    const QByteArray configBefore = sandbox->configBytes();
    type(fieldNamed("txtUsername"), QStringLiteral("alice"));
    type(fieldNamed("txtPassword"), QStringLiteral("pw"));
    type(fieldNamed("txtClientName"), QStringLiteral("Acme"));
    auto* button = buttonNamed("btnRegister");
    button->click();

    QTRY_COMPARE(statusText(*sheet), shown);
    QCOMPARE(statusColor(*sheet), Style::errorColor());
    QVERIFY(button->isEnabled());
    QCOMPARE(fieldNamed("txtUsername")->text(), QStringLiteral("alice"));
    QCOMPARE(fieldNamed("txtPassword")->text(), QStringLiteral("pw"));
    QCOMPARE(fieldNamed("txtClientName")->text(), QStringLiteral("Acme"));
    QCOMPARE(sandbox->configBytes(), configBefore);
    QCOMPARE(QString::fromUtf8(sandbox->logBytes()), logBefore);
    QCOMPARE(msUntilClosed(1300), -1);
}

void TestSetupFlows::answerAfterSheetEnded_data() {
    QTest::addColumn<bool>("deleteSheet");
    QTest::newRow("sheet ended") << false;
    QTest::newRow("controller gone") << true;
}

void TestSetupFlows::answerAfterSheetEnded() {
    QFETCH(bool, deleteSheet);
    server->answer("register/", {200, registered200, 700});
    openSheet(unregisteredConfig());
    const QByteArray configBefore = sandbox->configBytes();
    type(fieldNamed("txtUsername"), QStringLiteral("alice"));
    type(fieldNamed("txtPassword"), QStringLiteral("pw"));
    buttonNamed("btnRegister")->click();
    QTRY_COMPARE(server->received().size(), size_t(1));

    buttonNamed("btnClose")->click();
    QCOMPARE(finished->count(), 1);
    if (deleteSheet)
        sheet.reset();
    QTRY_COMPARE(server->answered(), 1);
    QTest::qWait(500); // the answer travels back and is handled (or dropped)

    QCOMPARE(sandbox->configBytes(), configBefore);
    QCOMPARE(QString::fromUtf8(sandbox->logBytes()), logBefore);
    if (!deleteSheet)
        QCOMPARE(statusText(*sheet), QStringLiteral("Registering\u2026"));
}

// ---- Save ----

void TestSetupFlows::save_data() {
    QTest::addColumn<QString>("clientName");
    QTest::addColumn<QString>("locationName");
    QTest::addColumn<QString>("apiUrl");
    QTest::addColumn<QString>("storedClient");
    QTest::addColumn<QString>("storedLocation");
    QTest::addColumn<QString>("storedUrl");

    const QString url = QStringLiteral("https://rmm.example/api");
    // clang-format off
    QTest::newRow("edited") << " Globex " << "\tParis" << url << "Globex" << "Paris" << url;
    QTest::newRow("blank client is Unassigned") << "   " << "Paris" << url << "Unassigned" << "Paris" << url;
    QTest::newRow("URL slashes dropped") << "Globex" << "Paris" << " /" + url + "// " << "Globex" << "Paris" << url;
    QTest::newRow("all empty") << "" << "" << "" << "Unassigned" << "" << "";
    // clang-format on
}

void TestSetupFlows::save() {
    QFETCH(QString, clientName);
    QFETCH(QString, locationName);
    QFETCH(QString, apiUrl);
    QFETCH(QString, storedClient);
    QFETCH(QString, storedLocation);
    QFETCH(QString, storedUrl);
    openSheet(registeredConfig());
    type(fieldNamed("txtClientName"), clientName);
    type(fieldNamed("txtLocationName"), locationName);
    type(fieldNamed("txtApiUrl"), apiUrl);
    buttonNamed("btnSave")->click();

    QCOMPARE(statusText(*sheet), QStringLiteral("Settings saved."));
    QCOMPARE(statusColor(*sheet), Style::successColor());
    AgentConfig expected = registeredConfig();
    expected.clientName = storedClient;
    expected.locationName = storedLocation;
    expected.apiBaseUrl = storedUrl;
    QCOMPARE(AgentConfig::fromJson(sandbox->configBytes()), std::optional(expected));
    // The fields keep what was typed.
    QCOMPARE(fieldNamed("txtClientName")->text(), clientName);
    QCOMPARE(fieldNamed("txtApiUrl")->text(), apiUrl);
    QVERIFY(buttonNamed("btnSave")->isEnabled());
    QVERIFY(server->received().empty());
    QCOMPARE(QString::fromUtf8(sandbox->logBytes()), logBefore);
    QCOMPARE(msUntilClosed(300), -1);
}

// ---- Unregister ----

void TestSetupFlows::unregisterCancelled() {
    openSheet(registeredConfig());
    const QByteArray configBefore = sandbox->configBytes();
    int alerts = 0;
    Dialogs::setHook([&alerts](QMessageBox& box) {
        ++alerts;
        QCOMPARE(box.text(), QStringLiteral("Unregister this agent?"));
        QCOMPARE(
            box.informativeText(),
            QStringLiteral(
                "This permanently removes this computer from Tavrel and deletes all collected tool data."));
        QCOMPARE(box.icon(), QMessageBox::Warning);
        const auto buttons = box.findChildren<QPushButton*>();
        QCOMPARE(buttons.size(), 2);
        QCOMPARE(child<QPushButton>(box, "btnConfirmUnregister")->text(), QStringLiteral("Unregister"));
        QCOMPARE(box.escapeButton(),
                 static_cast<QAbstractButton*>(child<QPushButton>(box, "btnCancelUnregister")));
        child<QPushButton>(box, "btnCancelUnregister")->click();
    });
    auto* button = buttonNamed("btnUnregister");
    button->click();

    QCOMPARE(alerts, 1);
    QVERIFY(button->isEnabled());
    QVERIFY(statusText(*sheet).isEmpty());
    QTest::qWait(200);
    QVERIFY(server->received().empty());
    QCOMPARE(sandbox->configBytes(), configBefore);
}

void TestSetupFlows::unregister_data() {
    QTest::addColumn<bool>("reachable");
    QTest::newRow("server answers 404 with an object") << true;
    QTest::newRow("server unreachable") << false;
}

void TestSetupFlows::unregister() {
    QFETCH(bool, reachable);
    server->answer("deregister/", {404, R"({"detail":"unknown computer"})"});
    AgentConfig stored = registeredConfig();
    if (!reachable)
        stored.apiBaseUrl =
            QStringLiteral("http://127.0.0.1:") + QString::number(closedPort()) + QStringLiteral("/api");
    openSheet(stored);
    Dialogs::setHook([](QMessageBox& box) { child<QPushButton>(box, "btnConfirmUnregister")->click(); });
    // An edited, unsaved URL is not where the stored identity lives.
    type(fieldNamed("txtApiUrl"), QStringLiteral("http://127.0.0.1:9/elsewhere"));
    auto* button = buttonNamed("btnUnregister");
    button->click();
    QCOMPARE(statusText(*sheet), QStringLiteral("Contacting server\u2026"));
    QCOMPARE(statusColor(*sheet), Style::successColor());
    QVERIFY(!button->isEnabled());

    const QString prefix = QStringLiteral("Deregistered locally. Server: ");
    if (reachable)
        QTRY_COMPARE(statusText(*sheet), QStringLiteral("Agent unregistered."));
    else
        QTRY_VERIFY(statusText(*sheet).startsWith(prefix));
    const qint64 closedAfter = msUntilClosed();
    QCOMPARE(statusColor(*sheet), Style::successColor());
    QVERIFY(!button->isEnabled());
    // Its red title greys out with it.
    QVERIFY(button->palette().color(QPalette::Disabled, QPalette::ButtonText) != Style::errorColor());
    if (reachable) {
        const auto received = server->received();
        QCOMPARE(received.size(), size_t(1));
        QCOMPARE(received[0].path, QStringLiteral("/api/v1/agentservice/deregister/"));
        QCOMPARE(received[0].body, QJsonObject({{QStringLiteral("token"), stored.token}}));
    } else {
        QVERIFY(statusText(*sheet).size() > prefix.size());
    }

    const AgentConfig expected{
        {}, {}, {}, QStringLiteral("Unassigned"), {}, stored.apiBaseUrl, stored.agentVersion};
    const auto now = AgentConfig::fromJson(sandbox->configBytes());
    QCOMPARE(now, std::optional(expected));
    QVERIFY(!now->isRegistered());
    QCOMPARE(QString::fromUtf8(sandbox->logBytes()), logBefore);
    QVERIFY2(closedAfter >= 1300, qPrintable(QString::number(closedAfter)));
}

// ---- Re-authenticate ----

void TestSetupFlows::reauthChecks_data() {
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("message");

    // The stored computer ID is empty: the typed fields are checked before it.
    QTest::newRow("blank user first") << "  "
                                      << ""
                                      << "Username is required.";
    QTest::newRow("no password") << "bob"
                                 << ""
                                 << "Password is required.";
    QTest::newRow("no computer ID") << "bob"
                                    << "pw"
                                    << "No Computer ID found \u2014 use Setup to register.";
}

void TestSetupFlows::reauthChecks() {
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(QString, message);
    openSheet(registeredConfig());
    // The file changes under the open sheet: the check reads it afresh.
    AgentConfig changed = registeredConfig();
    changed.computerID.clear();
    sandbox->writeConfig(changed);
    const QByteArray configBefore = sandbox->configBytes();
    openReauthBox();
    type(fieldNamed("txtReauthUser"), username);
    type(fieldNamed("txtReauthPass"), password);
    auto* button = buttonNamed("btnReauth");
    button->click();

    QCOMPARE(statusText(*sheet), message);
    QCOMPARE(statusColor(*sheet), Style::errorColor());
    QVERIFY(button->isEnabled());
    QTest::qWait(200);
    QVERIFY(server->received().empty());
    QCOMPARE(sandbox->configBytes(), configBefore);
}

void TestSetupFlows::reauthSucceeds() {
    server->answer("register/", {200, R"({"computerID":"C-OTHER","token":"T-new","clientID":"CL-new"})"});
    const AgentConfig stored = registeredConfig();
    openSheet(stored);
    // Unsaved edits in the form do not reach the request.
    type(fieldNamed("txtClientName"), QStringLiteral("Edited"));
    type(fieldNamed("txtApiUrl"), QStringLiteral("http://127.0.0.1:9/elsewhere"));
    openReauthBox();
    type(fieldNamed("txtReauthUser"), QStringLiteral(" bob "));
    type(fieldNamed("txtReauthPass"), QStringLiteral(" pw "));
    auto* button = buttonNamed("btnReauth");
    button->click();
    QCOMPARE(statusText(*sheet), QStringLiteral("Contacting server\u2026"));
    QVERIFY(!button->isEnabled());

    QTRY_COMPARE(statusText(*sheet), QStringLiteral("Re-authentication successful. Token updated."));
    const qint64 closedAfter = msUntilClosed();
    QCOMPARE(statusColor(*sheet), Style::successColor());
    QVERIFY(button->isEnabled());
    QVERIFY(fieldNamed("txtReauthUser")->text().isEmpty());
    QVERIFY(fieldNamed("txtReauthPass")->text().isEmpty());

    const auto received = server->received();
    QCOMPARE(received.size(), size_t(1));
    QCOMPARE(received[0].path, QStringLiteral("/api/v1/agentservice/register/"));
    const QJsonObject& body = received[0].body;
    QCOMPARE(body.value(QLatin1String("username")).toString(), QStringLiteral("bob"));
    QCOMPARE(body.value(QLatin1String("password")).toString(), QStringLiteral(" pw "));
    QCOMPARE(body.value(QLatin1String("computerID")).toString(), stored.computerID);
    QCOMPARE(body.value(QLatin1String("clientName")).toString(), stored.clientName);
    QCOMPARE(body.value(QLatin1String("locationName")).toString(), stored.locationName);

    AgentConfig expected = stored;
    expected.token = QStringLiteral("T-new");
    expected.clientID = QStringLiteral("CL-new");
    QCOMPARE(AgentConfig::fromJson(sandbox->configBytes()), std::optional(expected));
    const QString added = QString::fromUtf8(sandbox->logBytes()).mid(logBefore.size());
    QVERIFY2(
        logLinePattern(QStringLiteral("Re-authentication successful. Token updated for ComputerID: C-42"))
            .match(added)
            .hasMatch(),
        qPrintable(added));
    QVERIFY2(closedAfter >= 800, qPrintable(QString::number(closedAfter)));
}

void TestSetupFlows::reauthFails() {
    server->answer("register/", {500, "{}"});
    openSheet(registeredConfig());
    const QByteArray configBefore = sandbox->configBytes();
    openReauthBox();
    type(fieldNamed("txtReauthUser"), QStringLiteral("bob"));
    type(fieldNamed("txtReauthPass"), QStringLiteral("wrong"));
    auto* button = buttonNamed("btnReauth");
    button->click();

    QTRY_COMPARE(statusText(*sheet), QStringLiteral("Registration failed (HTTP 500)."));
    QCOMPARE(statusColor(*sheet), Style::errorColor());
    QVERIFY(button->isEnabled());
    QCOMPARE(fieldNamed("txtReauthUser")->text(), QStringLiteral("bob"));
    QCOMPARE(fieldNamed("txtReauthPass")->text(), QStringLiteral("wrong"));
    QCOMPARE(sandbox->configBytes(), configBefore);
    QCOMPARE(QString::fromUtf8(sandbox->logBytes()), logBefore);
    QCOMPARE(msUntilClosed(1200), -1);
}

// While a re-authentication is out, the form stays usable: a Save made meanwhile is kept, and
// an unregistration that answers first is not undone by the late token.
void TestSetupFlows::reauthWhileOtherActions_data() {
    QTest::addColumn<bool>("unregister");
    QTest::newRow("save meanwhile") << false;
    QTest::newRow("unregister meanwhile") << true;
}

void TestSetupFlows::reauthWhileOtherActions() {
    QFETCH(bool, unregister);
    server->answer("register/", {200, R"({"computerID":"C-42","token":"T-new","clientID":"CL-new"})", 700});
    server->answer("deregister/", {200, "{}"});
    openSheet(registeredConfig());
    Dialogs::setHook([](QMessageBox& box) { child<QPushButton>(box, "btnConfirmUnregister")->click(); });
    openReauthBox();
    type(fieldNamed("txtReauthUser"), QStringLiteral("bob"));
    type(fieldNamed("txtReauthPass"), QStringLiteral("pw"));
    buttonNamed("btnReauth")->click();
    if (unregister) {
        buttonNamed("btnUnregister")->click();
        QTRY_COMPARE(statusText(*sheet), QStringLiteral("Agent unregistered."));
    } else {
        type(fieldNamed("txtLocationName"), QStringLiteral("Paris"));
        buttonNamed("btnSave")->click();
    }
    QTRY_COMPARE(server->answered(), unregister ? 2 : 1);
    QTest::qWait(300);

    const AgentConfig now = AgentConfig::load();
    if (unregister) {
        QVERIFY(!now.isRegistered());
        QCOMPARE(now.token, QString());
        QCOMPARE(QString::fromUtf8(sandbox->logBytes()), logBefore);
    } else {
        QCOMPARE(statusText(*sheet), QStringLiteral("Re-authentication successful. Token updated."));
        QCOMPARE(now.locationName, QStringLiteral("Paris"));
        QCOMPARE(now.token, QStringLiteral("T-new"));
    }
}

// ---- With the main window ----

void TestSetupFlows::mainWindowShowsNewIdentity() {
    server->answer("register/", {200, registered200});
    sandbox->writeConfig(unregisteredConfig());
    MainWindowController window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* id = child<QLineEdit>(window, "txtComputerID");
    QVERIFY(id->text() != QLatin1String("C-1001"));

    child<QPushButton>(window, "btnSettings")->click();
    auto* opened = window.findChild<SetupWindowController*>();
    QVERIFY(opened);
    QVERIFY(opened->isVisible());
    QVERIFY(!opened->isRegisteredForm());
    QSignalSpy ended(opened, &QDialog::finished);
    type(child<QLineEdit>(*opened, "txtUsername"), QStringLiteral("alice"));
    type(child<QLineEdit>(*opened, "txtPassword"), QStringLiteral("pw"));
    type(child<QLineEdit>(*opened, "txtClientName"), QStringLiteral("Acme"));
    child<QPushButton>(*opened, "btnRegister")->click();

    QVERIFY(ended.wait(5000));
    // The sheet's end refreshes the window at once, not at its next 3-second tick.
    QTRY_COMPARE_WITH_TIMEOUT(id->text(), QStringLiteral("C-1001"), 1000);
    QCOMPARE(child<QLabel>(window, "lblClientName")->text(), QStringLiteral("Acme"));
    QTRY_VERIFY(!window.findChild<SetupWindowController*>()); // released once ended

    // Opened again, the sheet shows the settings form of the new identity.
    child<QPushButton>(window, "btnSettings")->click();
    auto* reopened = window.findChild<SetupWindowController*>();
    QVERIFY(reopened && reopened->isVisible());
    QVERIFY(reopened->isRegisteredForm());
    QCOMPARE(child<QLabel>(*reopened, "lblComputerID")->text(), QStringLiteral("C-1001"));
}

QTEST_MAIN(TestSetupFlows)
#include "tst_setupflows.moc"
