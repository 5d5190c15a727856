#include "api/ApiClient.h"
#include "api/ApiTransport.h"
#include "core/SystemInfo.h"
#include "core/Version.h"

#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QtTest>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

using Json = nlohmann::ordered_json;

namespace {

const std::string kAnswer = R"({"computerID":"C","token":"T","clientID":"K"})";
const QString kParseError = QStringLiteral("parseError Parse error: Could not parse server response");

struct Recorded {
    QString path;
    httplib::Headers headers;
    QByteArray body;
};

// A real HTTP(S) server on 127.0.0.1 in its own thread, answering as the test scripts it and
// recording every request that reaches it.
class ScriptedServer final {
public:
    using Script = std::function<void(const httplib::Request&, httplib::Response&)>;

    explicit ScriptedServer(std::unique_ptr<httplib::Server> server = std::make_unique<httplib::Server>())
        : server_(std::move(server)) {
        // One request per connection: a connection the client keeps open would hold up stop().
        server_->set_keep_alive_max_count(1);
        // Long enough that a client that stops reading is not taken for one that hung up.
        server_->set_write_timeout(30);
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
        server_->stop();
        thread_.join();
    }

    QString url(const char* scheme = "http") const {
        return QStringLiteral("%1://127.0.0.1:%2/api").arg(QLatin1String(scheme)).arg(port_);
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
    std::vector<Recorded> requests() const {
        const std::lock_guard lock(mutex_);
        return requests_;
    }

private:
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    Script script_ = [](const httplib::Request&, httplib::Response& response) {
        response.status = 500;
    };
    std::vector<Recorded> requests_;
};

QString describe(const ApiError& error) {
    static const char* const kinds[] = {"networkError", "serverError", "parseError"};
    QString text = QLatin1String(kinds[static_cast<int>(error.kind)]) + QLatin1Char(' ');
    if (error.kind == ApiError::Kind::serverError)
        text += QString::number(error.statusCode) + QLatin1Char(' ');
    return text + error.errorDescription();
}
QString describe(const ApiClient::RegisterOutcome& outcome) {
    if (const auto* error = std::get_if<ApiError>(&outcome))
        return describe(*error);
    const auto& result = std::get<ApiClient::RegisterResult>(outcome);
    return QStringLiteral("ok %1|%2|%3").arg(result.computerID, result.token, result.clientID);
}
QString describe(const std::optional<ApiError>& outcome) {
    return outcome ? describe(*outcome) : QStringLiteral("ok");
}

// The outcome of one call, how often its completion ran, and whether before the call returned.
struct Call {
    QString outcome = QStringLiteral("<no completion>");
    int completions = 0;
    bool synchronous = false;
};

template <typename Start> Call await(Start start) {
    auto call = std::make_shared<Call>();
    start([call](const auto& outcome) {
        ++call->completions;
        call->outcome = describe(outcome);
    });
    call->synchronous = call->completions > 0;
    if (QTest::qWaitFor([&] { return call->completions > 0; }, 15000))
        QTest::qWait(30); // a second completion would show up here
    return *call;
}

const QString kPassword = QStringLiteral(" p@ss \"w\\o'rd\" ünï ");

Call registerAt(const QString& base, const QString& clientName = QStringLiteral("Acme"),
                const std::optional<QString>& existing = std::nullopt) {
    return await([&](auto done) {
        ApiClient::registerAgent(base, QStringLiteral("alice"), kPassword, clientName, QStringLiteral("Lab"),
                                 existing, nullptr, done);
    });
}
Call deregisterAt(const QString& base) {
    return await([&](auto done) { ApiClient::deregister(base, QStringLiteral("tok-1"), nullptr, done); });
}

enum Failure { silent, refused, huge, otherOrigin, bigRedirect, selfSigned, plainHttpElsewhere };

} // namespace

class TestApiClient final : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    std::string cert_ = dir_.filePath(QStringLiteral("cert.pem")).toStdString();
    std::string key_ = dir_.filePath(QStringLiteral("key.pem")).toStdString();

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(
            QStringLiteral("openssl"),
            QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                           "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1")
                    .split(QLatin1Char(' '))
                << QStringLiteral("-keyout") << QString::fromStdString(key_) << QStringLiteral("-out")
                << QString::fromStdString(cert_));
        QVERIFY(openssl.waitForFinished(30000));
        QVERIFY2(openssl.exitCode() == 0, openssl.readAll().constData());
    }
    void cleanup() { ApiClient::setTransferTimeout(30000); }

    void joinUrl_data() {
        QTest::addColumn<QString>("base");
        QTest::addColumn<QString>("endpoint");
        for (const char* left : {"", "/", "//"}) {
            for (const char* right : {"", "/", "//"}) {
                QTest::addRow("base%s %sregister/%s", left, right, right)
                    << QString(QStringLiteral("https://h/api") + QLatin1String(left))
                    << QString(QLatin1String(right) + QStringLiteral("register/") + QLatin1String(right));
            }
        }
    }
    void joinUrl() {
        QFETCH(QString, base);
        QFETCH(QString, endpoint);
        QCOMPARE(ApiTransport::joinUrl(base, endpoint), QStringLiteral("https://h/api/register/"));
    }

    // Plain http is allowed to these hosts only, so passwords never cross the network in clear text.
    void loopbackHosts() {
        for (const char* host : {"localhost", "LocalHost", "127.0.0.1", "127.8.9.10", "::1"})
            QVERIFY2(ApiTransport::isLoopbackHost(QLatin1String(host)), host);
        for (const char* host : {"128.0.0.1", "localhost.example.com", "192.168.1.10", "::2", ""})
            QVERIFY2(!ApiTransport::isLoopbackHost(QLatin1String(host)), host);
    }

    // The three headers, the path and the body of both calls, as the server receives them.
    void requests_data() {
        QTest::addColumn<QString>("clientName");
        QTest::addColumn<QString>("existingID");
        QTest::addColumn<QString>("sentClientName");
        QTest::newRow("new registration") << "Acme \"Corp\" ü" << QString() << "Acme \"Corp\" ü";
        QTest::newRow("empty client name") << QString() << QString() << "Unassigned";
        QTest::newRow("re-authentication") << "Acme"
                                           << "CID-7"
                                           << "Acme";
    }
    void requests() {
        QFETCH(QString, clientName);
        QFETCH(QString, existingID);
        QFETCH(QString, sentClientName);
        ScriptedServer server;
        server.answer(200, kAnswer);
        const auto existing = existingID.isNull() ? std::nullopt : std::optional(existingID);
        const Call reg = registerAt(server.url(), clientName, existing);
        QCOMPARE(reg.outcome, QStringLiteral("ok C|T|K"));
        QVERIFY(!reg.synchronous);
        QCOMPARE(deregisterAt(server.url()).outcome, QStringLiteral("ok"));

        const auto requests = server.requests();
        QCOMPARE(requests.size(), size_t(2));
        for (const Recorded& request : requests) {
            QStringList headers;
            for (const char* name : {"Content-Type", "Accept", "User-Agent"}) {
                const auto it = request.headers.find(name);
                headers << (it == request.headers.end() ? QString() : QString::fromStdString(it->second));
            }
            QCOMPARE(headers,
                     (QStringList{QStringLiteral("application/json"), QStringLiteral("application/json"),
                                  QStringLiteral("Tavrel-Linux-Agent/") + appVersion()}));
        }
        QCOMPARE(requests[0].path, QStringLiteral("/api/register/"));
        QCOMPARE(requests[1].path, QStringLiteral("/api/deregister/"));
        QCOMPARE(requests[1].body, QByteArray(R"({"token":"tok-1"})"));

        const Json body = Json::parse(requests[0].body.toStdString());
        QCOMPARE(requests[0].body, QByteArray::fromStdString(body.dump())); // compact
        Json expected = {{"username", "alice"},
                         {"password", kPassword.toStdString()},
                         {"computerName", SystemInfo::computerName().toStdString()},
                         {"clientName", sentClientName.toStdString()},
                         {"locationName", "Lab"},
                         {"ipAddress", SystemInfo::ipAddress().toStdString()},
                         {"lastUsername", SystemInfo::userName().toStdString()},
                         {"OS", SystemInfo::osVersion().toStdString()},
                         {"osType", "Linux"},
                         {"UTC_Offset", SystemInfo::utcOffset().toStdString()},
                         {"agentVersion", appVersion().toStdString()}};
        if (existing)
            expected["computerID"] = existing->toStdString();
        QCOMPARE(QString::fromStdString(body.dump()), QString::fromStdString(expected.dump())); // in order
        QCOMPARE(body.size(), existing ? size_t(12) : size_t(11));
    }

    void answers_data() {
        QTest::addColumn<bool>("deregister");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("expected");
        const QString failed = QStringLiteral("serverError %1 Registration failed (HTTP %1).");
        QTest::newRow("200 complete") << false << 200 << QString::fromStdString(kAnswer) << "ok C|T|K";
        QTest::newRow("200 without clientID") << false << 200 << R"({"computerID":"C","token":"T"})"
                                              << "ok C|T|";
        QTest::newRow("200 numeric computerID")
            << false << 200 << R"({"computerID":42,"token":"T"})" << failed.arg(200);
        QTest::newRow("200 empty object") << false << 200 << "{}" << failed.arg(200);
        QTest::newRow("201 complete") << false << 201 << QString::fromStdString(kAnswer) << failed.arg(201);
        QTest::newRow("401 with message") << false << 401 << R"({"message":"Invalid username or password."})"
                                          << "serverError 401 Invalid username or password.";
        QTest::newRow("502 without message") << false << 502 << "{}" << failed.arg(502);
        QTest::newRow("deregister 404 object") << true << 404 << R"({"message":"Unknown token"})"
                                               << "ok";
        QTest::newRow("deregister 200 empty body") << true << 200 << QString() << kParseError;
    }
    void answers() {
        QFETCH(bool, deregister);
        QFETCH(int, status);
        QFETCH(QString, body);
        QFETCH(QString, expected);
        ScriptedServer server;
        server.answer(status, body.toStdString());
        const Call call = deregister ? deregisterAt(server.url()) : registerAt(server.url());
        QCOMPARE(call.outcome, expected);
        QCOMPARE(call.completions, 1);
    }

    void failures_data() {
        QTest::addColumn<int>("failure");
        QTest::addColumn<int>("reached");      // requests the scripted server sees
        QTest::addColumn<QString>("expected"); // the outcome's beginning
        QTest::newRow("never answers") << int(silent) << 0 << "networkError Operation canceled";
        QTest::newRow("connection refused") << int(refused) << 0 << "networkError Connection refused";
        QTest::newRow("oversized answer") << int(huge) << 1 << kParseError;
        QTest::newRow("redirect to another origin")
            << int(otherOrigin) << 1 << "networkError Insecure redirect";
        QTest::newRow("redirect with a large body") << int(bigRedirect) << 2 << "ok C|T|K";
        QTest::newRow("self-signed certificate")
            << int(selfSigned) << 0 << "networkError SSL handshake failed";
        QTest::newRow("http to a remote host")
            << int(plainHttpElsewhere) << 0
            << "networkError HTTPS is required: http://example.invalid/api/register/";
    }
    void failures() {
        QFETCH(int, failure);
        QFETCH(int, reached);
        QFETCH(QString, expected);
        ScriptedServer other;
        ScriptedServer server(failure == selfSigned ? std::unique_ptr<httplib::Server>(
                                                          new httplib::SSLServer(cert_.c_str(), key_.c_str()))
                                                    : std::make_unique<httplib::Server>());
        server.answer(200, kAnswer);
        QString base = server.url(failure == selfSigned ? "https" : "http");
        QTcpServer tcp; // accepts and never answers; closed before the call for "refused"
        QVERIFY(tcp.listen(QHostAddress::LocalHost));
        if (failure == silent || failure == refused) {
            base = QStringLiteral("http://127.0.0.1:%1/api").arg(tcp.serverPort());
            if (failure == silent)
                ApiClient::setTransferTimeout(300);
            else
                tcp.close();
        } else if (failure == huge) {
            // A complete answer one byte over the limit: read whole, it would succeed.
            const std::string head = "{\"computerID\":\"C\",\"token\":\"T\",\"pad\":\"";
            server.answer(200,
                          head + std::string(ApiTransport::maxResponseBytes - head.size() - 1, 'x') + "\"}");
        } else if (failure == otherOrigin) {
            server.script(
                [target = other.url().toStdString()](const httplib::Request&, httplib::Response& response) {
                    response.set_redirect(target + "/register/", 307);
                });
        } else if (failure == bigRedirect) {
            // Qt never hands over a redirect's body, yet its read buffer must let all of it through.
            server.script([](const httplib::Request& request, httplib::Response& response) {
                if (request.path.starts_with("/api/v2/"))
                    return response.set_content(kAnswer, "application/json");
                response.set_redirect("/api/v2/register/", 307);
                response.set_content(std::string(512 * 1024, ' '), "application/octet-stream");
            });
        } else if (failure == plainHttpElsewhere) {
            base = QStringLiteral("http://example.invalid/api");
        }
        const Call call = registerAt(base);
        QVERIFY2(call.outcome.startsWith(expected), qPrintable(call.outcome));
        QCOMPARE(call.completions, 1);
        QCOMPARE(call.synchronous, failure == plainHttpElsewhere); // refused before anything is sent
        QCOMPARE(server.requests().size(), size_t(reached));
        QVERIFY(other.requests().empty()); // the password never reaches another origin
    }

    // An answer without end, in rounds, since the client's hang-up races Qt's network thread. The
    // client cuts it off at the limit, or the call is cancelled (its context destroyed) while the
    // answer trickles in below the limit; either way the connection closes and nothing more is
    // read. Loopback socket buffers hold up to about 10 MiB of what the server wrote.
    void endlessAnswer_data() {
        QTest::addColumn<bool>("cancel");
        for (int round = 1; round <= 24; ++round)
            QTest::addRow("round %d%s", round, round % 6 ? "" : " cancelled") << (round % 6 == 0);
    }
    void endlessAnswer() {
        QFETCH(bool, cancel);
        const size_t trickleFrom = cancel ? ApiTransport::maxResponseBytes / 2 : SIZE_MAX;
        std::atomic<size_t> written = 0;
        std::atomic<bool> closed = false;
        ScriptedServer server;
        server.script([&](const httplib::Request&, httplib::Response& response) {
            // A type the server does not compress: every byte crosses the socket.
            response.set_chunked_content_provider(
                "application/octet-stream",
                [&](size_t, httplib::DataSink& sink) {
                    static const std::string block(64 * 1024, ' ');
                    const size_t size = written < trickleFrom ? block.size() : 1;
                    if (size == 1)
                        std::this_thread::sleep_for(std::chrono::milliseconds(10));
                    if (!sink.write(block.data(), size))
                        return false;
                    written += size;
                    return written < (size_t(256) << 20);
                },
                [&](bool) { closed = true; });
        });
        if (cancel) {
            auto context = std::make_unique<QObject>();
            int completions = 0;
            ApiClient::deregister(server.url(), {}, context.get(), [&](const auto&) { ++completions; });
            QTRY_VERIFY(written > trickleFrom);
            context.reset();
            QTRY_VERIFY(closed);
            QCOMPARE(completions, 0);
        } else {
            QCOMPARE(registerAt(server.url()).outcome, kParseError);
            QTRY_VERIFY(closed);
        }
        qInfo("the server wrote %.1f MiB", double(written) / (1 << 20));
        QVERIFY(written < 16 * size_t(ApiTransport::maxResponseBytes));
    }
};

QTEST_GUILESS_MAIN(TestApiClient)
#include "tst_apiclient.moc"
