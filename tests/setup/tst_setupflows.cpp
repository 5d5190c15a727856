// The sheet's Register, Save, Unregister and Re-authenticate flows, driven through its widgets on a
// sandboxed agent installation against a real HTTP server in this process: what the user sees, the
// stored configuration, the activity log and what the server received.
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
#include <QTest>

#include <httplib.h>

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using namespace Qt::StringLiterals;

namespace {

// A real HTTP server on 127.0.0.1 answering "register/" and "deregister/" as scripted, after an
// optional delay, and recording every request.
class StubServer final {
public:
    struct Answer {
        int status = 500;
        std::string body = "{}";
        int delayMs = 0;
        bool endless = false; // half the size limit at once, then a byte every 10 ms
    };
    struct Received {
        QString path;
        QJsonObject body;
    };

    StubServer() {
        server_.Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
            Answer answer;
            {
                const std::lock_guard lock(mutex_);
                received_.push_back(
                    {QString::fromStdString(request.path),
                     QJsonDocument::fromJson(QByteArray::fromStdString(request.body)).object()});
                answer = answers_[request.path.ends_with("/deregister/") ? "deregister/" : "register/"];
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(answer.delayMs));
            response.status = answer.status;
            if (answer.endless) {
                // A type the server does not gzip: its compressor would hold the trickle back.
                response.set_chunked_content_provider(
                    "application/octet-stream",
                    [](size_t offset, httplib::DataSink& sink) {
                        static const std::string half(512 * 1024, ' ');
                        if (offset > 0)
                            std::this_thread::sleep_for(std::chrono::milliseconds(10));
                        return sink.write(half.data(), offset > 0 ? 1 : half.size());
                    },
                    [this](bool) { streamClosed_ = true; });
            } else {
                response.set_content(answer.body, "application/json");
            }
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

    QString baseUrl() const { return u"http://127.0.0.1:%1/api/v1/agentservice"_s.arg(port_); }
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
    bool streamClosed() const { return streamClosed_; }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::map<std::string, Answer> answers_;
    std::vector<Received> received_;
    int answered_ = 0;
    std::atomic<bool> streamClosed_ = false;
};

const QString logBefore = u"[2025-01-01T00:00:00Z] [INFO] earlier line\n"_s;
const std::string registered200 = R"({"computerID":"C-1001","token":"T-abc","clientID":"CL-7"})";

template <typename T = QWidget> T* child(const QWidget& parent, const char* name) {
    auto* widget = parent.findChild<T*>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no widget named %s", name);
    return widget;
}

// Types like a user where key events can carry the text; tabs and other blanks are inserted.
void type(QLineEdit* field, const QString& text) {
    field->clear();
    field->setFocus();
    if (std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c >= u' ' && c.unicode() < 0x7f; }))
        QTest::keyClicks(field, text);
    else
        field->insert(text);
    QCOMPARE(field->text(), text);
}

// The log gained exactly one INFO line, with this message.
bool loggedOnly(const QString& log, const QString& message) {
    static const QString stamp = uR"(^\[\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ\] \[INFO\] )"_s;
    return log.startsWith(logBefore) &&
           QRegularExpression(stamp + QRegularExpression::escape(message) + u"\\n$"_s)
               .match(log.mid(logBefore.size()))
               .hasMatch();
}

// The request carried every field of expected with its value.
bool carries(const QJsonObject& body, const QJsonObject& expected) {
    for (auto it = expected.begin(); it != expected.end(); ++it)
        if (body.value(it.key()) != it.value())
            return false;
    return true;
}

// One registration: what is typed, what must be sent and stored, and how the server answers.
struct RegisterCase {
    QString username, password, clientName, locationName, apiUrl; // "URL" stands for the server's
    QString sentClient, sentLocation;
    int status = 200;
    std::string body = registered200;
    QString failure; // what the status line ends with when no registration is stored
    // 1: the sheet is closed while the request is out; 2: and deleted; 3: while an endless answer streams
    int endsEarly = 0;
};

} // namespace

Q_DECLARE_METATYPE(RegisterCase)

class TestSetupFlows final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void checks_data();
    void checks();
    void registration_data();
    void registration();
    void save_data();
    void save();
    void unregister_data();
    void unregister();
    void reauth_data();
    void reauth();
    void mainWindowShowsNewIdentity();
    void refusedStore_data();
    void refusedStore();

private:
    AgentConfig unregisteredConfig() const {
        return {{}, {}, {}, {}, {}, server->baseUrl(), u"7.7.7-file"_s};
    }
    AgentConfig registeredConfig() const {
        return {u"C-42"_s,   u"tok-stored"_s,   u"CL-old"_s,    u"Acme"_s,
                u"Berlin"_s, server->baseUrl(), u"7.7.7-file"_s};
    }
    AgentConfig unregistered(const AgentConfig& was) const {
        return {{}, {}, {}, u"Unassigned"_s, {}, was.apiBaseUrl, was.agentVersion};
    }
    // Builds the sheet on this stored configuration and shows it.
    void openSheet(const AgentConfig& config);
    void fill(std::initializer_list<std::pair<const char*, QString>> fields) {
        for (const auto& [name, text] : fields)
            type(child<QLineEdit>(*sheet, name), text);
    }
    QString field(const char* name) const { return child<QLineEdit>(*sheet, name)->text(); }
    QPushButton* button(const char* name) const { return child<QPushButton>(*sheet, name); }
    QString status() const { return child<QLabel>(*sheet, "lblStatus")->text(); }
    QColor statusColor() const { return Style::textColor(child<QLabel>(*sheet, "lblStatus")); }
    QString log() const { return QString::fromUtf8(sandbox->logBytes()); }
    AgentConfig stored() const {
        return AgentConfig::fromJson(sandbox->configBytes()).value_or(AgentConfig{});
    }
    // Milliseconds from now until the sheet ends, -1 when it does not within the timeout.
    qint64 msUntilClosed(int timeoutMs) {
        QElapsedTimer clock;
        clock.start();
        return finished->isEmpty() && !finished->wait(timeoutMs) ? -1 : clock.elapsed();
    }

    std::unique_ptr<TestSandbox> sandbox;
    std::unique_ptr<StubServer> server;
    std::unique_ptr<SetupWindowController> sheet;
    std::unique_ptr<QSignalSpy> finished;
};

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

// Registration and re-authentication refuse bad input before anything is sent or stored.
void TestSetupFlows::checks_data() {
    QTest::addColumn<bool>("reauth");
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("apiUrl"); // "URL" stands for the server's
    QTest::addColumn<QString>("message");

    // clang-format off
    QTest::newRow("register: all empty, username first") << false << "" << "" << "" << "Username is required.";
    QTest::newRow("register: blank username") << false << " \t " << "pw" << "URL" << "Username is required.";
    QTest::newRow("register: no password") << false << "alice" << "" << "URL" << "Password is required.";
    QTest::newRow("register: URL of only slashes and blanks")
        << false << "alice" << "pw" << u" /// \u00A0"_s << "API URL is required.";
    // The stored computer ID is empty: the typed fields are checked before it.
    QTest::newRow("reauth: blank user first") << true << "  " << "" << "" << "Username is required.";
    QTest::newRow("reauth: no password") << true << "bob" << "" << "" << "Password is required.";
    QTest::newRow("reauth: no computer ID")
        << true << "bob" << "pw" << "" << u"No Computer ID found \u2014 use Setup to register."_s;
    // clang-format on
}

void TestSetupFlows::checks() {
    QFETCH(bool, reauth);
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(QString, apiUrl);
    QFETCH(QString, message);
    if (reauth) {
        openSheet(registeredConfig());
        // The file changes under the open sheet: the check reads it afresh.
        AgentConfig changed = registeredConfig();
        changed.computerID.clear();
        sandbox->writeConfig(changed);
        button("btnReauthToggle")->click();
        fill({{"txtReauthUser", username}, {"txtReauthPass", password}});
    } else {
        openSheet(unregisteredConfig());
        fill({{"txtUsername", username},
              {"txtPassword", password},
              {"txtApiUrl", apiUrl.replace(u"URL"_s, server->baseUrl())}});
    }
    const QByteArray configBefore = sandbox->configBytes();
    QPushButton* action = button(reauth ? "btnReauth" : "btnRegister");
    action->click();

    QCOMPARE(status(), message);
    QCOMPARE(statusColor(), Style::errorColor());
    QVERIFY(action->isEnabled());
    QTest::qWait(200);
    QVERIFY(server->received().empty());
    QCOMPARE(sandbox->configBytes(), configBefore);
}

void TestSetupFlows::registration_data() {
    QTest::addColumn<RegisterCase>("c");
    const auto ok = [](const char* name, const QString& username, const QString& password,
                       const QString& client, const QString& location, const QString& url,
                       const QString& sentClient, const QString& sentLocation) {
        QTest::newRow(name) << RegisterCase{username,     password, client,        location, url, sentClient,
                                            sentLocation, 200,      registered200, {},       0};
    };
    const auto fails = [](const char* name, int status, const std::string& body, const QString& shown,
                          int endsEarly = 0) {
        QTest::newRow(name) << RegisterCase{u"alice"_s, u"pw"_s, u"Acme"_s, {},    u"URL"_s, {},
                                            {},         status,  body,      shown, endsEarly};
    };
    // CANARY stands for a file that must never be created.
    const QString hostileClient = u"Ac\"me' $(touch CANARY) `touch CANARY` back\\slash \\c %s"_s;
    const QString hostileLocation = u"-n \"; touch CANARY; \" \\\\ $HOME"_s;
    const QString u = u"Unassigned"_s;
    // clang-format off
    ok("blank password sent as typed, user trimmed", u"\u2003alice\t"_s, u"   "_s, u" Acme "_s, u"Berlin"_s, u"URL"_s, u"Acme"_s, u"Berlin"_s);
    ok("blank client is Unassigned", u"alice"_s, u"pw"_s, u" \t\u00A0"_s, u"Berlin"_s, u"URL"_s, u, u"Berlin"_s);
    ok("blank location", u"alice"_s, u"pw"_s, u"Acme"_s, u"  "_s, u"URL"_s, u"Acme"_s, {});
    ok("URL slashes and blanks dropped", u"alice"_s, u"pw"_s, u"Acme"_s, {}, u" URL/// "_s, u"Acme"_s, {});
    ok("hostile text kept exactly", u"alice"_s, u"pw"_s, hostileClient, hostileLocation, u"URL"_s, hostileClient, hostileLocation);
    fails("401 with message", 401, R"({"message":"Invalid credentials"})", u"Invalid credentials"_s);
    fails("200 without token", 200, R"({"computerID":"C-1"})", u"Registration failed (HTTP 200)."_s);
    // A success that answers after the sheet has ended changes nothing.
    fails("sheet closed while the request is out", 200, registered200, u"Registering\u2026"_s, 1);
    fails("controller gone while the request is out", 200, registered200, {}, 2);
    fails("sheet closed while an endless answer streams", 200, {}, u"Registering\u2026"_s, 3);
    // clang-format on
}

void TestSetupFlows::registration() {
    QFETCH(RegisterCase, c);
    const QString canary = sandbox->path(u"canary"_s);
    for (QString* text : {&c.clientName, &c.locationName, &c.sentClient, &c.sentLocation})
        text->replace(u"CANARY"_s, canary);
    server->answer("register/", {c.status, c.body, c.endsEarly % 3 ? 700 : 0, c.endsEarly == 3});
    openSheet(unregisteredConfig());
    const QByteArray configBefore = sandbox->configBytes();
    fill({{"txtUsername", c.username},
          {"txtPassword", c.password},
          {"txtClientName", c.clientName},
          {"txtLocationName", c.locationName},
          {"txtApiUrl", c.apiUrl.replace(u"URL"_s, server->baseUrl())}});
    button("btnRegister")->click();
    QCOMPARE(status(), u"Registering\u2026"_s);
    QCOMPARE(statusColor(), Style::successColor());
    QVERIFY(!button("btnRegister")->isEnabled());

    if (c.endsEarly) {
        QTRY_COMPARE(server->received().size(), size_t(1));
        QTRY_COMPARE(server->answered(), c.endsEarly == 3 ? 1 : 0); // an endless answer streams
        button("btnClose")->click();
        QCOMPARE(finished->count(), 1);
        if (c.endsEarly == 2)
            sheet.reset();
        // The trickle would keep the connection open for ever: closing the sheet cancels the call.
        QTRY_VERIFY_WITH_TIMEOUT(c.endsEarly != 3 || server->streamClosed(), 1000);
        QTRY_COMPARE(server->answered(), 1);
        QTest::qWait(500); // the answer travels back and is handled (or dropped)
    } else if (!c.failure.isEmpty()) {
        QTRY_COMPARE(status(), c.failure);
        QCOMPARE(statusColor(), Style::errorColor());
        QVERIFY(button("btnRegister")->isEnabled());
        QCOMPARE(field("txtUsername"), c.username);
        QCOMPARE(field("txtPassword"), c.password);
        QCOMPARE(msUntilClosed(1300), -1);
    }
    if (c.endsEarly || !c.failure.isEmpty()) {
        QCOMPARE(sandbox->configBytes(), configBefore);
        QCOMPARE(log(), logBefore);
        if (sheet)
            QCOMPARE(status(), c.failure);
        return;
    }
    // The agent version kept is the file's when the answer is handled.
    AgentConfig changed = unregisteredConfig();
    changed.agentVersion = u"8.0.0-meanwhile"_s;
    sandbox->writeConfig(changed);
    QTRY_COMPARE(status(), u"Registration successful!"_s);
    const qint64 closedAfter = msUntilClosed(4000);
    QVERIFY2(closedAfter >= 1000, qPrintable(QString::number(closedAfter)));
    QCOMPARE(statusColor(), Style::successColor());
    const auto received = server->received();
    QCOMPARE(received.size(), size_t(1));
    QCOMPARE(received[0].path, u"/api/v1/agentservice/register/"_s);
    const QJsonObject sent{{u"username"_s, u"alice"_s},
                           {u"password"_s, c.password},
                           {u"clientName"_s, c.sentClient},
                           {u"locationName"_s, c.sentLocation}};
    QVERIFY(carries(received[0].body, sent) && !received[0].body.contains(u"computerID"_s));
    QCOMPARE(stored(), AgentConfig({u"C-1001"_s, u"T-abc"_s, u"CL-7"_s, c.sentClient, c.sentLocation,
                                    server->baseUrl(), changed.agentVersion}));
    QVERIFY2(loggedOnly(log(), u"Agent registered successfully. ComputerID: C-1001 Client: "_s +
                                   c.sentClient + u" Location: "_s + c.sentLocation),
             qPrintable(log()));
    QVERIFY(!QFile::exists(canary));
}

void TestSetupFlows::save_data() {
    QTest::addColumn<QString>("clientName");
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("apiUrl");
    QTest::addColumn<QString>("storedClient");
    QTest::addColumn<QString>("storedUrl");

    const QString url = u"https://rmm.example/api"_s;
    // clang-format off
    QTest::newRow("blank client stored as Unassigned") << "   " << "Paris" << url << "Unassigned" << url;
    QTest::newRow("URL slashes dropped") << "Globex" << "Paris" << " /" + url + "// " << "Globex" << url;
    QTest::newRow("all empty") << "" << "" << "" << "Unassigned" << "";
    // clang-format on
}

void TestSetupFlows::save() {
    QFETCH(QString, clientName);
    QFETCH(QString, location);
    QFETCH(QString, apiUrl);
    QFETCH(QString, storedClient);
    QFETCH(QString, storedUrl);
    openSheet(registeredConfig());
    fill({{"txtClientName", clientName}, {"txtLocationName", location}, {"txtApiUrl", apiUrl}});
    button("btnSave")->click();

    QCOMPARE(status(), u"Settings saved."_s);
    QCOMPARE(statusColor(), Style::successColor());
    AgentConfig expected = registeredConfig();
    expected.clientName = storedClient;
    expected.locationName = location;
    expected.apiBaseUrl = storedUrl;
    QCOMPARE(stored(), expected);
    // The fields keep what was typed.
    QCOMPARE(field("txtClientName"), clientName);
    QCOMPARE(field("txtApiUrl"), apiUrl);
    QCOMPARE(log(), logBefore);
    QCOMPARE(msUntilClosed(300), -1);
}

void TestSetupFlows::unregister_data() {
    QTest::addColumn<bool>("confirm");
    QTest::addColumn<bool>("reachable");
    QTest::newRow("cancelled") << false << true;
    QTest::newRow("server answers 404 with an object") << true << true;
    QTest::newRow("server unreachable") << true << false;
}

void TestSetupFlows::unregister() {
    QFETCH(bool, confirm);
    QFETCH(bool, reachable);
    server->answer("deregister/", {404, R"({"detail":"unknown computer"})"});
    AgentConfig before = registeredConfig();
    if (!reachable) // nobody listens on the discard port
        before.apiBaseUrl = u"http://127.0.0.1:9/api"_s;
    openSheet(before);
    int alerts = 0;
    Dialogs::setHook([&](QMessageBox& box) {
        ++alerts;
        QCOMPARE(box.text(), u"Unregister this agent?"_s);
        QCOMPARE(
            box.informativeText(),
            u"This permanently removes this computer from Tavrel and deletes all collected tool data."_s);
        QCOMPARE(box.icon(), QMessageBox::Warning);
        QCOMPARE(box.buttons().size(), 2);
        QCOMPARE(child<QPushButton>(box, "btnConfirmUnregister")->text(), u"Unregister"_s);
        QCOMPARE(box.escapeButton(), child<QAbstractButton>(box, "btnCancelUnregister"));
        child<QPushButton>(box, confirm ? "btnConfirmUnregister" : "btnCancelUnregister")->click();
    });
    // An edited, unsaved URL is not where the stored identity lives.
    fill({{"txtApiUrl", u"http://127.0.0.1:9/elsewhere"_s}});
    button("btnUnregister")->click();
    QCOMPARE(alerts, 1);
    if (!confirm) {
        QVERIFY(button("btnUnregister")->isEnabled());
        QVERIFY(status().isEmpty());
        QTest::qWait(200);
        QVERIFY(server->received().empty());
        QCOMPARE(stored(), before);
        return;
    }
    QCOMPARE(status(), u"Contacting server\u2026"_s);
    QVERIFY(!button("btnUnregister")->isEnabled());

    const QString prefix = u"Deregistered locally. Server: "_s;
    if (reachable)
        QTRY_COMPARE(status(), u"Agent unregistered."_s);
    else
        QTRY_VERIFY(status().startsWith(prefix) && status().size() > prefix.size());
    const qint64 closedAfter = msUntilClosed(4000);
    QVERIFY2(closedAfter >= 1300, qPrintable(QString::number(closedAfter)));
    QCOMPARE(statusColor(), Style::successColor());
    const auto received = server->received();
    QCOMPARE(received.size(), size_t(reachable ? 1 : 0));
    if (reachable) {
        QCOMPARE(received[0].path, u"/api/v1/agentservice/deregister/"_s);
        QCOMPARE(received[0].body, QJsonObject({{u"token"_s, before.token}}));
    }
    QCOMPARE(stored(), unregistered(before));
    QCOMPARE(log(), logBefore);
}

void TestSetupFlows::reauth_data() {
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("meanwhile"); // what the user does while the request is out
    QTest::addColumn<QString>("shown");
    const QString renewed = u"Re-authentication successful. Token updated."_s;
    QTest::newRow("success; the server names another computer ID") << 200 << "" << renewed;
    QTest::newRow("failure") << 500 << "" << u"Registration failed (HTTP 500)."_s;
    // The token goes into the record read when the answer arrives: a Save made meanwhile is kept,
    // and an identity unregistered meanwhile is not revived by the late token.
    QTest::newRow("save meanwhile") << 200 << "save" << renewed;
    QTest::newRow("unregister meanwhile")
        << 200 << "unregister" << u"The registration changed while re-authenticating; nothing was stored."_s;
}

void TestSetupFlows::reauth() {
    QFETCH(int, code);
    QFETCH(QString, meanwhile);
    QFETCH(QString, shown);
    server->answer("register/",
                   {code, R"({"computerID":"C-OTHER","token":"T-new","clientID":"CL-new"})", 700});
    server->answer("deregister/", {200, "{}"});
    const AgentConfig before = registeredConfig();
    openSheet(before);
    Dialogs::setHook([](QMessageBox& box) { child<QPushButton>(box, "btnConfirmUnregister")->click(); });
    // Unsaved edits in the form do not reach the request.
    const QString elsewhere = u"http://127.0.0.1:9/elsewhere"_s;
    fill({{"txtClientName", u"Edited"_s}, {"txtLocationName", u"Paris"_s}, {"txtApiUrl", elsewhere}});
    button("btnReauthToggle")->click();
    fill({{"txtReauthUser", u" bob "_s}, {"txtReauthPass", u" pw "_s}});
    button("btnReauth")->click();
    QCOMPARE(status(), u"Contacting server\u2026"_s);
    QVERIFY(!button("btnReauth")->isEnabled());
    if (meanwhile == u"save")
        button("btnSave")->click();
    else if (meanwhile == u"unregister")
        button("btnUnregister")->click();

    QTRY_VERIFY(button("btnReauth")->isEnabled()); // the answer has been handled
    QCOMPARE(status(), shown);
    const auto received = server->received();
    const auto request = std::find_if(received.cbegin(), received.cend(), [](const auto& r) {
        return r.path.endsWith(u"/agentservice/register/");
    });
    QVERIFY(request != received.cend());
    QVERIFY(carries(request->body, {{u"username"_s, u"bob"_s},
                                    {u"password"_s, u" pw "_s},
                                    {u"clientName"_s, before.clientName},
                                    {u"locationName"_s, before.locationName},
                                    {u"computerID"_s, before.computerID}}));
    if (meanwhile == u"unregister") {
        QCOMPARE(stored(), unregistered(before));
        QCOMPARE(log(), logBefore);
    } else if (code != 200) {
        QCOMPARE(statusColor(), Style::errorColor());
        QCOMPARE(field("txtReauthUser"), u" bob "_s);
        QCOMPARE(field("txtReauthPass"), u" pw "_s);
        QCOMPARE(stored(), before);
        QCOMPARE(log(), logBefore);
        QCOMPARE(msUntilClosed(1200), -1);
    } else {
        QCOMPARE(statusColor(), Style::successColor());
        QVERIFY(field("txtReauthUser").isEmpty() && field("txtReauthPass").isEmpty());
        AgentConfig expected = before;
        if (meanwhile == u"save")
            expected = {before.computerID, {}, {}, u"Edited"_s, u"Paris"_s, elsewhere, before.agentVersion};
        expected.token = u"T-new"_s;
        expected.clientID = u"CL-new"_s;
        QCOMPARE(stored(), expected);
        QVERIFY2(loggedOnly(log(), u"Re-authentication successful. Token updated for ComputerID: C-42"_s),
                 qPrintable(log()));
        const qint64 closedAfter = msUntilClosed(4000);
        QVERIFY2(closedAfter >= 800, qPrintable(QString::number(closedAfter)));
    }
}

void TestSetupFlows::mainWindowShowsNewIdentity() {
    server->answer("register/", {200, registered200});
    sandbox->writeConfig(unregisteredConfig());
    MainWindowController window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    auto* id = child<QLineEdit>(window, "txtComputerID");
    QVERIFY(id->text() != u"C-1001"_s);

    child<QPushButton>(window, "btnSettings")->click();
    auto* opened = window.findChild<SetupWindowController*>();
    QVERIFY(opened && opened->isVisible() && !opened->isRegisteredForm());
    QSignalSpy ended(opened, &QDialog::finished);
    type(child<QLineEdit>(*opened, "txtUsername"), u"alice"_s);
    type(child<QLineEdit>(*opened, "txtPassword"), u"pw"_s);
    type(child<QLineEdit>(*opened, "txtClientName"), u"Acme"_s);
    child<QPushButton>(*opened, "btnRegister")->click();

    QVERIFY(ended.wait(5000));
    // The sheet's end refreshes the window at once, not at its next 3-second tick.
    QTRY_COMPARE_WITH_TIMEOUT(id->text(), u"C-1001"_s, 1000);
    QCOMPARE(child<QLabel>(window, "lblClientName")->text(), u"Acme"_s);
}

void TestSetupFlows::refusedStore_data() {
    QTest::addColumn<QString>("flow");
    QTest::addColumn<QString>("shown");
    const QString notStored =
        u"Registered with the server, but this computer's settings could not be stored: "
        u"Not authorized. Press Register to store them again."_s;
    QTest::newRow("register, then store on the next press") << "register retry" << notStored;
    QTest::newRow("register, then close and discard") << "register discard" << notStored;
    QTest::newRow("save") << "save" << u"The settings could not be saved: Not authorized"_s;
    // Half a record, as while something rewrites it: saving defaults would wipe the identity.
    QTest::newRow("save over an unreadable configuration")
        << "save unreadable" << u"The current settings could not be read; nothing was saved."_s;
    QTest::newRow("re-authenticate")
        << "reauth"
        << u"Re-authentication succeeded, but the new token could not be stored: Not authorized"_s;
    QTest::newRow("unregister") << "unregister"
                                << u"Unregistered from the server, but this computer's identity could not be "
                                   u"removed: Not authorized"_s;
}

// With the administrator prompt refused, no flow says it succeeded, nothing is stored or logged, and
// the sheet stays open. A registration the server made is kept until it is stored or discarded.
void TestSetupFlows::refusedStore() {
    QFETCH(QString, flow);
    QFETCH(QString, shown);
    server->answer("register/", {200, registered200});
    server->answer("deregister/", {200, "{}"});
    const bool registers = flow.startsWith("register"_L1);
    openSheet(registers ? unregisteredConfig() : registeredConfig());
    if (flow == "save unreadable"_L1)
        sandbox->writeConfigBytes(sandbox->configBytes().left(40));
    const QByteArray configBefore = sandbox->configBytes();
    sandbox->recordPrivilegedCommands(false);
    QStringList asked;
    const char* answer = "btnConfirmUnregister";
    Dialogs::setHook([&](QMessageBox& box) {
        asked << box.text();
        child<QPushButton>(box, answer)->click();
    });
    if (registers) {
        fill({{"txtUsername", u"alice"_s}, {"txtPassword", u"pw"_s}});
        button("btnRegister")->click();
    } else if (flow == "reauth"_L1) {
        button("btnReauthToggle")->click();
        fill({{"txtReauthUser", u"bob"_s}, {"txtReauthPass", u"pw"_s}});
        button("btnReauth")->click();
    } else {
        button(flow == "unregister"_L1 ? "btnUnregister" : "btnSave")->click();
    }
    QTRY_COMPARE(status(), shown);
    QCOMPARE(statusColor(), Style::errorColor());
    // The longest message fits in full, above Close and inside the sheet.
    const auto* line = child<QLabel>(*sheet, "lblStatus");
    QVERIFY(line->heightForWidth(line->width()) <= line->height());
    QVERIFY(line->geometry().bottom() < button("btnClose")->y() &&
            button("btnClose")->geometry().bottom() < sheet->height());
    QCOMPARE(sandbox->configBytes(), configBefore);
    QCOMPARE(log(), logBefore);
    QCOMPARE(sandbox->privilegedCommands(),
             flow == "save unreadable"_L1 ? QStringList() : QStringList{u"write-config"_s});
    if (flow == "unregister"_L1)
        QVERIFY(button("btnUnregister")->isEnabled());
    QCOMPARE(msUntilClosed(200), -1);
    if (!registers)
        return;

    // Closing asks first; Cancel keeps the sheet and what the server made.
    QVERIFY(button("btnRegister")->isEnabled());
    const QString question = u"This computer is registered with the server, but the registration is not "
                             u"stored here. Discard it?"_s;
    Dialogs::setHook([&](QMessageBox& box) {
        asked << box.text();
        for (QAbstractButton* choice : box.buttons())
            if (choice->text() == (flow.endsWith("discard"_L1) ? "Discard"_L1 : "Cancel"_L1))
                choice->click();
    });
    button("btnClose")->click();
    QCOMPARE(asked, QStringList{question});
    if (flow.endsWith("discard"_L1)) {
        QCOMPARE(finished->count(), 1);
        QCOMPARE(sandbox->configBytes(), configBefore);
        return;
    }
    QVERIFY(finished->isEmpty());
    // The next press stores what the server made and sends nothing: a second request would make a
    // second computer.
    sandbox->changeEnvironment([](AgentEnvironment& e) { e.privilegedOverride = {}; });
    button("btnRegister")->click();
    QCOMPARE(status(), u"Registration successful!"_s);
    QCOMPARE(server->received().size(), size_t(1));
    QCOMPARE(stored().computerID, u"C-1001"_s);
    QVERIFY(loggedOnly(log(),
                       u"Agent registered successfully. ComputerID: C-1001 Client: Unassigned Location: "_s));
}

QTEST_MAIN(TestSetupFlows)
#include "tst_setupflows.moc"
