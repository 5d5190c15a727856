#include "api/ApiClient.h"
#include "api/ApiTransport.h"
#include "core/SystemInfo.h"
#include "core/Version.h"

#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using ApiClient::RegisterOutcome;
using ApiClient::RegisterResult;
using Json = nlohmann::ordered_json;

namespace {

struct RecordedRequest {
    QString path;
    httplib::Headers headers;
    QByteArray body;

    QString header(const char* name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? QStringLiteral("<missing>") : QString::fromStdString(it->second);
    }
};

// A real HTTP(S) server on 127.0.0.1 in its own thread. Each test scripts its answers; every
// request that reaches a handler is recorded.
class ScriptedServer final {
public:
    using Script = std::function<void(const httplib::Request&, httplib::Response&)>;

    explicit ScriptedServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
        : server_(std::move(server)) {
        // One request per connection: a connection the client keeps open would hold up stop().
        server_->set_keep_alive_max_count(1);
        server_->Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
            Script script;
            {
                const std::lock_guard lock(mutex_);
                requests_.push_back({QString::fromStdString(request.path), request.headers,
                                     QByteArray::fromStdString(request.body)});
                script = script_;
            }
            script(request, response);
        });
        port_ = server_->bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_->listen_after_bind(); });
        // stop() is lost on a server that is not listening yet, and join() would then hang.
        while (port_ > 0 && !server_->is_running())
            std::this_thread::yield();
    }

    ~ScriptedServer() {
        release();
        server_->stop();
        thread_.join();
    }
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool isListening() const { return port_ > 0; }
    QString url(const QString& path, const QString& scheme = QStringLiteral("http")) const {
        return scheme + QStringLiteral("://127.0.0.1:") + QString::number(port_) + path;
    }

    void script(Script script) {
        const std::lock_guard lock(mutex_);
        script_ = std::move(script);
    }
    void answer(int status, const std::string& body) {
        script([status, body](const httplib::Request&, httplib::Response& response) {
            response.status = status;
            response.set_content(body, "application/json");
        });
    }
    // Handlers block until the test ends, so the client hears nothing.
    void hang() {
        script([this](const httplib::Request&, httplib::Response& response) {
            std::unique_lock lock(mutex_);
            released_.wait(lock, [this] { return isReleased_; });
            response.status = 204;
        });
    }
    void release() {
        {
            const std::lock_guard lock(mutex_);
            isReleased_ = true;
        }
        released_.notify_all();
    }
    bool isReleased() const {
        const std::lock_guard lock(mutex_);
        return isReleased_;
    }

    std::vector<RecordedRequest> requests() const {
        const std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::condition_variable released_;
    bool isReleased_ = false;
    Script script_ = [](const httplib::Request&, httplib::Response& response) {
        response.status = 500;
    };
    std::vector<RecordedRequest> requests_;
};

QString describe(const ApiError& error) {
    static const char* const kinds[] = {"networkError", "serverError", "parseError"};
    QString text = QLatin1String(kinds[static_cast<int>(error.kind)]) + QLatin1Char(' ');
    if (error.kind == ApiError::Kind::serverError)
        text += QString::number(error.statusCode) + QLatin1Char(' ');
    return text + error.errorDescription();
}

QString describe(const RegisterOutcome& outcome) {
    if (const auto* error = std::get_if<ApiError>(&outcome))
        return describe(*error);
    const auto& result = std::get<RegisterResult>(outcome);
    return QStringLiteral("ok ") + result.computerID + QLatin1Char('|') + result.token + QLatin1Char('|') +
           result.clientID;
}

QString describe(const std::optional<ApiError>& outcome) {
    return outcome ? describe(*outcome) : QStringLiteral("ok");
}

// The outcome of one call, and whether the completion ran before the call returned.
struct Call {
    QString outcome;
    int completions = 0;
    bool synchronous = false;
};

template <typename Start> Call await(Start start) {
    auto state = std::make_shared<Call>();
    start([state](const auto& outcome) {
        ++state->completions;
        state->outcome = describe(outcome);
    });
    state->synchronous = state->completions > 0;
    if (!QTest::qWaitFor([&] { return state->completions > 0; }, 15000))
        return Call{QStringLiteral("<no completion>"), 0, false};
    QTest::qWait(30); // a second completion would show up here
    return *state;
}

Call registerAt(const QString& base, const QString& username = QStringLiteral("alice"),
                const QString& clientName = QStringLiteral("Acme"),
                const std::optional<QString>& existing = std::nullopt) {
    return await([&](auto done) {
        ApiClient::registerAgent(base, username, QStringLiteral("pw"), clientName, QStringLiteral("Lab"),
                                 existing, done);
    });
}

Call deregisterAt(const QString& base) {
    return await([&](auto done) { ApiClient::deregister(base, QStringLiteral("tok-1"), done); });
}

// A JSON object of exactly size bytes that would be a complete registration answer.
std::string paddedAnswer(size_t size) {
    const std::string head = R"({"computerID":"C","token":"T","pad":")";
    const std::string tail = R"("})";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

} // namespace

class TestApiClient final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { ApiClient::setTransferTimeout(30000); }

    void joinUrl_data() {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("endpoint");
        const QString base = QStringLiteral("https://h/api/v1/agentservice");
        for (const char* left : {"", "/", "//"}) {
            for (const char* right : {"register", "/register", "register/", "//register//"}) {
                QTest::addRow("base%s endpoint %s", left, right)
                    << QString(base + QLatin1String(left)) << QString::fromLatin1(right);
            }
        }
        QTest::addRow("leading slashes on base")
            << QString(QStringLiteral("//") + base) << QStringLiteral("register/");
    }
    void joinUrl() {
        QFETCH(QString, base);
        QFETCH(QString, endpoint);
        QCOMPARE(ApiTransport::joinUrl(base, endpoint),
                 QStringLiteral("https://h/api/v1/agentservice/register/"));
    }
    void joinKeepsBlanks() {
        QCOMPARE(ApiTransport::joinUrl(QStringLiteral(" https://h/a / "), QStringLiteral(" x")),
                 QStringLiteral(" https://h/a / / x/"));
        QCOMPARE(ApiTransport::joinUrl(QString(), QStringLiteral("register/")), QStringLiteral("/register/"));
    }

    void checkedUrl_data() {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("refusal"); // empty: accepted
        const QString invalid = QStringLiteral("Invalid URL: ");
        const QString https = QStringLiteral("HTTPS is required: ");
        QTest::newRow("https") << "https://api.tavrel.com/api/v1/agentservice/register/"
                               << "";
        QTest::newRow("HTTPS upper case") << "HTTPS://API.tavrel.com/register/"
                                          << "";
        QTest::newRow("http 127.0.0.1") << "http://127.0.0.1:8080/register/"
                                        << "";
        QTest::newRow("http 127.x.y.z") << "http://127.8.9.10/register/"
                                        << "";
        QTest::newRow("http localhost") << "http://localhost:1/register/"
                                        << "";
        QTest::newRow("http LocalHost") << "http://LocalHost/register/"
                                        << "";
        QTest::newRow("http ::1") << "http://[::1]:8080/register/"
                                  << "";
        QTest::newRow("http elsewhere") << "http://example.invalid/register/" << https;
        QTest::newRow("http private address") << "http://192.168.1.10/register/" << https;
        QTest::newRow("http 128.0.0.1") << "http://128.0.0.1/register/" << https;
        QTest::newRow("http localhost lookalike") << "http://localhost.example.com/register/" << https;
        QTest::newRow("ftp on loopback") << "ftp://127.0.0.1/register/" << https;
        QTest::newRow("no scheme or host") << "/register/" << invalid;
        QTest::newRow("no host") << "https:///register/" << invalid;
        QTest::newRow("scheme only") << "https:/register/" << invalid;
        QTest::newRow("blank in host") << "https://exa mple.com/register/" << invalid;
        QTest::newRow("words") << "not a url/register/" << invalid;
        QTest::newRow("broken IPv6") << "https://[::1/register/" << invalid;
    }
    void checkedUrl() {
        QFETCH(QString, url);
        QFETCH(QString, refusal);
        const auto checked = ApiTransport::checkedUrl(url);
        if (refusal.isEmpty()) {
            const auto* error = std::get_if<ApiError>(&checked);
            QVERIFY2(error == nullptr, error ? qPrintable(describe(*error)) : "");
        } else {
            QVERIFY(std::holds_alternative<ApiError>(checked));
            QCOMPARE(std::get<ApiError>(checked), ApiError::networkError(refusal + url));
        }
    }

    // Refused URLs fail before the call returns, and nothing is sent.
    void refusedBeforeSending_data() {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain http elsewhere")
            << "http://example.invalid/api"
            << "networkError HTTPS is required: http://example.invalid/api/register/";
        QTest::newRow("malformed") << "https://exa mple.com//"
                                   << "networkError Invalid URL: https://exa mple.com/register/";
        QTest::newRow("empty") << ""
                               << "networkError Invalid URL: /register/";
    }
    void refusedBeforeSending() {
        QFETCH(QString, base);
        QFETCH(QString, expected);
        const Call reg = registerAt(base);
        QCOMPARE(reg.outcome, expected);
        QVERIFY(reg.synchronous);
        QCOMPARE(reg.completions, 1);
        const Call dereg = deregisterAt(base);
        QCOMPARE(dereg.outcome,
                 QString(expected).replace(QStringLiteral("/register/"), QStringLiteral("/deregister/")));
        QVERIFY(dereg.synchronous);
        QCOMPARE(dereg.completions, 1);
    }

    void requestPath_data() {
        QTest::addColumn<QString>("prefix");
        QTest::addColumn<QString>("suffix");
        QTest::newRow("no slash") << ""
                                  << "";
        QTest::newRow("one slash") << ""
                                   << "/";
        QTest::newRow("two slashes") << ""
                                     << "//";
        QTest::newRow("leading slashes") << "//"
                                         << "/";
    }
    void requestPath() {
        QFETCH(QString, prefix);
        QFETCH(QString, suffix);
        ScriptedServer server;
        QVERIFY(server.isListening());
        server.answer(200, R"({"computerID":"C","token":"T"})");
        const QString base = prefix + server.url(QStringLiteral("/api/v1/agentservice")) + suffix;
        QCOMPARE(registerAt(base).outcome, QStringLiteral("ok C|T|"));
        QCOMPARE(deregisterAt(base).outcome, QStringLiteral("ok"));
        const auto requests = server.requests();
        QCOMPARE(requests.size(), size_t(2));
        QCOMPARE(requests[0].path, QStringLiteral("/api/v1/agentservice/register/"));
        QCOMPARE(requests[1].path, QStringLiteral("/api/v1/agentservice/deregister/"));
    }

    void headersAndBodies_data() {
        QTest::addColumn<QString>("clientName");
        QTest::addColumn<QString>("existingID");
        QTest::addColumn<QString>("sentClientName");
        QTest::newRow("new registration") << "Acme \"Corp\" ü" << QString() << "Acme \"Corp\" ü";
        QTest::newRow("empty client name") << "" << QString() << "Unassigned";
        QTest::newRow("re-authentication") << "Acme"
                                           << "CID-7"
                                           << "Acme";
    }
    void headersAndBodies() {
        QFETCH(QString, clientName);
        QFETCH(QString, existingID);
        QFETCH(QString, sentClientName);
        ScriptedServer server;
        QVERIFY(server.isListening());
        server.answer(200, R"({"computerID":"C","token":"T","clientID":"K"})");
        const QString password = QStringLiteral(" p@ss \"w\\o'rd\" ünï ");
        const std::optional<QString> existing =
            existingID.isNull() ? std::nullopt : std::optional(existingID);
        const Call call = await([&](auto done) {
            ApiClient::registerAgent(server.url(QStringLiteral("/api")), QStringLiteral("alice"), password,
                                     clientName, QString(), existing, done);
        });
        QCOMPARE(call.outcome, QStringLiteral("ok C|T|K"));
        QCOMPARE(call.completions, 1);
        QVERIFY(!call.synchronous);

        const auto requests = server.requests();
        QCOMPARE(requests.size(), size_t(1));
        const RecordedRequest& request = requests.front();
        const QString userAgent = QStringLiteral("Tavrel-Linux-Agent/") + appVersion();
        QCOMPARE(request.header("Content-Type"), QStringLiteral("application/json"));
        QCOMPARE(request.header("Accept"), QStringLiteral("application/json"));
        QCOMPARE(request.header("User-Agent"), userAgent);

        const Json body = Json::parse(request.body.toStdString());
        QCOMPARE(request.body, QByteArray::fromStdString(body.dump())); // compact
        Json expected = {{"username", "alice"},
                         {"password", password.toStdString()},
                         {"computerName", SystemInfo::computerName().toStdString()},
                         {"clientName", sentClientName.toStdString()},
                         {"locationName", ""},
                         {"ipAddress", SystemInfo::ipAddress().toStdString()},
                         {"lastUsername", SystemInfo::userName().toStdString()},
                         {"OS", SystemInfo::osVersion().toStdString()},
                         {"osType", "Linux"},
                         {"UTC_Offset", SystemInfo::utcOffset().toStdString()},
                         {"agentVersion", appVersion().toStdString()}};
        if (existing)
            expected["computerID"] = existing->toStdString();
        QCOMPARE(QString::fromStdString(body.dump()),
                 QString::fromStdString(expected.dump())); // members in order
        QCOMPARE(body.size(), existing ? size_t(12) : size_t(11));

        const Call dereg = deregisterAt(server.url(QStringLiteral("/api")));
        QCOMPARE(dereg.outcome, QStringLiteral("ok"));
        const RecordedRequest deregRequest = server.requests().back();
        QCOMPARE(deregRequest.body, QByteArray(R"({"token":"tok-1"})"));
        QCOMPARE(deregRequest.header("Content-Type"), QStringLiteral("application/json"));
        QCOMPARE(deregRequest.header("Accept"), QStringLiteral("application/json"));
        QCOMPARE(deregRequest.header("User-Agent"), userAgent);
    }

    void registerAnswer_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const QString parse = QStringLiteral("parseError Parse error: Could not parse server response");
        QTest::newRow("200 complete")
            << 200 << QByteArray(R"({"computerID":"C-1","token":"T-1","clientID":"K-1"})")
            << "ok C-1|T-1|K-1";
        QTest::newRow("200 no clientID")
            << 200 << QByteArray(R"({"computerID":"C-1","token":"T-1"})") << "ok C-1|T-1|";
        QTest::newRow("200 numeric clientID")
            << 200 << QByteArray(R"({"computerID":"C-1","token":"T-1","clientID":7})") << "ok C-1|T-1|";
        QTest::newRow("200 numeric computerID") << 200 << QByteArray(R"({"computerID":42,"token":"T-1"})")
                                                << "serverError 200 Registration failed (HTTP 200).";
        QTest::newRow("200 null token") << 200 << QByteArray(R"({"computerID":"C-1","token":null})")
                                        << "serverError 200 Registration failed (HTTP 200).";
        QTest::newRow("200 empty object")
            << 200 << QByteArray("{}") << "serverError 200 Registration failed (HTTP 200).";
        QTest::newRow("201 complete") << 201 << QByteArray(R"({"computerID":"C-1","token":"T-1"})")
                                      << "serverError 201 Registration failed (HTTP 201).";
        QTest::newRow("400 with message")
            << 400 << QByteArray(R"({"message":"Bad request body."})") << "serverError 400 Bad request body.";
        QTest::newRow("401 with message")
            << 401 << QByteArray(R"({"message":"Invalid username or password."})")
            << "serverError 401 Invalid username or password.";
        QTest::newRow("403 numeric message")
            << 403 << QByteArray(R"({"message":5})") << "serverError 403 Registration failed (HTTP 403).";
        QTest::newRow("500 with message")
            << 500 << QByteArray(R"({"message":"Database down"})") << "serverError 500 Database down";
        QTest::newRow("502 without message")
            << 502 << QByteArray("{}") << "serverError 502 Registration failed (HTTP 502).";
        QTest::newRow("200 empty body") << 200 << QByteArray() << parse;
        QTest::newRow("200 array") << 200 << QByteArray(R"([{"computerID":"C"}])") << parse;
        QTest::newRow("200 truncated") << 200 << QByteArray(R"({"computerID":"C")") << parse;
        QTest::newRow("200 invalid UTF-8")
            << 200 << QByteArray("{\"computerID\":\"\xff\",\"token\":\"T\"}") << parse;
        QTest::newRow("404 page") << 404 << QByteArray("<html>Not found</html>") << parse;
    }
    void registerAnswer() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        ScriptedServer server;
        QVERIFY(server.isListening());
        server.answer(status, body.toStdString());
        const Call call = registerAt(server.url(QStringLiteral("/api")));
        QCOMPARE(call.outcome, expected);
        QCOMPARE(call.completions, 1);
    }

    void deregisterAnswer_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("expected");
        const QString parse = QStringLiteral("parseError Parse error: Could not parse server response");
        QTest::newRow("200 object") << 200 << QByteArray(R"({"status":"ok"})") << "ok";
        QTest::newRow("404 object") << 404 << QByteArray(R"({"message":"Unknown token"})") << "ok";
        QTest::newRow("500 empty object") << 500 << QByteArray("{}") << "ok";
        QTest::newRow("200 empty body") << 200 << QByteArray() << parse;
        QTest::newRow("200 string") << 200 << QByteArray(R"("ok")") << parse;
    }
    void deregisterAnswer() {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, expected);
        ScriptedServer server;
        QVERIFY(server.isListening());
        server.answer(status, body.toStdString());
        const Call call = deregisterAt(server.url(QStringLiteral("/api")));
        QCOMPARE(call.outcome, expected);
        QCOMPARE(call.completions, 1);
    }

    void concurrentRequests() {
        ScriptedServer server;
        QVERIFY(server.isListening());
        server.script([](const httplib::Request& request, httplib::Response& response) {
            const Json body = Json::parse(request.body);
            const std::string user = body["username"];
            std::this_thread::sleep_for(std::chrono::milliseconds(user.back() == '0' ? 150 : 0));
            response.set_content(Json{{"computerID", user}, {"token", "T"}}.dump(), "application/json");
        });
        constexpr int count = 6;
        auto calls = std::make_shared<std::array<Call, count>>();
        for (int i = 0; i < count; ++i) {
            ApiClient::registerAgent(server.url(QStringLiteral("/api")), QStringLiteral("user%1").arg(i),
                                     QString(), QString(), QString(), std::nullopt,
                                     [calls, i](const RegisterOutcome& outcome) {
                                         ++(*calls)[i].completions;
                                         (*calls)[i].outcome = describe(outcome);
                                     });
        }
        QTRY_VERIFY_WITH_TIMEOUT(
            std::all_of(calls->begin(), calls->end(), [](const Call& call) { return call.completions > 0; }),
            15000);
        QTest::qWait(30);
        for (int i = 0; i < count; ++i) {
            QCOMPARE((*calls)[i].completions, 1);
            QCOMPARE((*calls)[i].outcome, QStringLiteral("ok user%1|T|").arg(i));
        }
    }

    void silentServerTimesOut() {
        ScriptedServer server;
        QVERIFY(server.isListening());
        server.hang();
        ApiClient::setTransferTimeout(300);
        const Call call = registerAt(server.url(QStringLiteral("/api")));
        QCOMPARE(call.outcome, QStringLiteral("networkError Operation canceled"));
        QCOMPARE(call.completions, 1);
        QCOMPARE(server.requests().size(), size_t(1));
    }

    void connectionRefused() {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        const quint16 port = probe.serverPort();
        probe.close();
        const Call call = registerAt(QStringLiteral("http://127.0.0.1:%1/api").arg(port));
        QCOMPARE(call.outcome, QStringLiteral("networkError Connection refused"));
        QCOMPARE(call.completions, 1);
    }

    void answerSizeLimit_data() {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<QString>("expected");
        const QString parse = QStringLiteral("parseError Parse error: Could not parse server response");
        QTest::newRow("exactly 1 MiB") << ApiTransport::maxResponseBytes << "ok C|T|";
        QTest::newRow("1 MiB and a byte") << ApiTransport::maxResponseBytes + 1 << parse;
        QTest::newRow("2 MiB") << 2 * ApiTransport::maxResponseBytes << parse;
    }
    void answerSizeLimit() {
        QFETCH(qint64, size);
        QFETCH(QString, expected);
        ScriptedServer server;
        QVERIFY(server.isListening());
        server.answer(200, paddedAnswer(static_cast<size_t>(size)));
        const Call call = registerAt(server.url(QStringLiteral("/api")));
        QCOMPARE(call.outcome, expected);
        QCOMPARE(call.completions, 1);
    }

    // An answer that never ends is cut off: the server sees the client hang up long before the
    // stream's own end.
    void endlessAnswerIsCutOff() {
        ScriptedServer server;
        QVERIFY(server.isListening());
        constexpr size_t streamEnd = size_t{512} << 20;
        auto sent = std::make_shared<std::atomic<size_t>>(0);
        auto hungUp = std::make_shared<std::atomic<bool>>(false);
        server.script([&server, sent, hungUp](const httplib::Request&, httplib::Response& response) {
            response.set_chunked_content_provider(
                "application/json", [&server, sent, hungUp](size_t, httplib::DataSink& sink) {
                    static const std::string chunk = "{\"pad\":\"" + std::string(64 * 1024, 'x');
                    if (*sent >= streamEnd || server.isReleased()) {
                        sink.done();
                        return true;
                    }
                    if (!sink.write(chunk.data(), chunk.size())) {
                        *hungUp = true;
                        return false;
                    }
                    *sent += chunk.size();
                    return true;
                });
        });
        const Call call = registerAt(server.url(QStringLiteral("/api")));
        QCOMPARE(call.outcome, QStringLiteral("parseError Parse error: Could not parse server response"));
        QCOMPARE(call.completions, 1);
        QTRY_VERIFY_WITH_TIMEOUT(*hungUp, 10000);
        QVERIFY2(*sent < streamEnd / 8, qPrintable(QString::number(sent->load())));
    }

    void redirects_data() {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("sameOrigin");
        QTest::addColumn<QString>("expected");
        QTest::newRow("307 same origin") << 307 << true << "ok C|T|";
        QTest::newRow("307 other port") << 307 << false << "networkError Insecure redirect";
        QTest::newRow("308 other port") << 308 << false << "networkError Insecure redirect";
        QTest::newRow("302 other port") << 302 << false << "networkError Insecure redirect";
    }
    void redirects() {
        QFETCH(int, status);
        QFETCH(bool, sameOrigin);
        QFETCH(QString, expected);
        ScriptedServer other;
        QVERIFY(other.isListening());
        other.answer(200, R"({"computerID":"C","token":"T"})");
        ScriptedServer server;
        QVERIFY(server.isListening());
        const std::string target =
            (sameOrigin ? server.url(QStringLiteral("/moved/")) : other.url(QStringLiteral("/moved/")))
                .toStdString();
        server.script([status, target](const httplib::Request& request, httplib::Response& response) {
            if (request.path == "/moved/") {
                response.set_content(R"({"computerID":"C","token":"T"})", "application/json");
                return;
            }
            response.set_redirect(target, status);
            response.set_content("{}", "application/json");
        });
        const Call call = registerAt(server.url(QStringLiteral("/api")));
        QCOMPARE(call.outcome, expected);
        QCOMPARE(call.completions, 1);
        QCOMPARE(other.requests().size(), size_t(0));
        QCOMPARE(server.requests().size(), sameOrigin ? size_t(2) : size_t(1));
        if (sameOrigin)
            QCOMPARE(server.requests().back().body, server.requests().front().body);
    }

    void untrustedCertificate() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        const QString key = dir.filePath(QStringLiteral("key.pem"));
        const QString cert = dir.filePath(QStringLiteral("cert.pem"));
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(QStringLiteral("openssl"),
                      {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"),
                       QStringLiteral("ec"), QStringLiteral("-pkeyopt"),
                       QStringLiteral("ec_paramgen_curve:prime256v1"), QStringLiteral("-nodes"),
                       QStringLiteral("-keyout"), key, QStringLiteral("-out"), cert, QStringLiteral("-days"),
                       QStringLiteral("1"), QStringLiteral("-subj"), QStringLiteral("/CN=127.0.0.1"),
                       QStringLiteral("-addext"), QStringLiteral("subjectAltName=IP:127.0.0.1")});
        QVERIFY(openssl.waitForFinished(30000));
        QVERIFY2(openssl.exitCode() == 0, openssl.readAll().constData());

        ScriptedServer server(std::make_unique<httplib::SSLServer>(cert.toLocal8Bit().constData(),
                                                                   key.toLocal8Bit().constData()));
        QVERIFY(server.isListening());
        server.answer(200, R"({"computerID":"C","token":"T"})");
        const QString base = server.url(QStringLiteral("/api"), QStringLiteral("https"));
        const Call reg = registerAt(base);
        QVERIFY2(reg.outcome.startsWith(QLatin1String("networkError SSL handshake failed")),
                 qPrintable(reg.outcome));
        QCOMPARE(reg.completions, 1);
        const Call dereg = deregisterAt(base);
        QVERIFY2(dereg.outcome.startsWith(QLatin1String("networkError SSL handshake failed")),
                 qPrintable(dereg.outcome));
        QCOMPARE(server.requests().size(), size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestApiClient)
#include "tst_apiclient.moc"
