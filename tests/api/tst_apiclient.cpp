// The management server client against a real HTTP(S) server in the test process.
#include "api/ApiClient.h"
#include "api/ApiTransport.h"
#include "support/StubServer.h"

#include <QtNetwork>
#include <QtTest>

using namespace Qt::StringLiterals;

namespace {

const char* const answerOk = R"({"computerID":"C","token":"T","clientID":"K"})";
const char* const parseFailure = "Parse error: Could not parse server response";
const char* const timedOut = "The request timed out.";
const QString password = u" p@ss \"w\\o'rd\" ünï "_s;
constexpr size_t limit = ApiTransport::maxResponseBytes;

QString describe(const std::optional<ApiError>& error) {
    return error ? error->errorDescription() : u"ok"_s;
}
QString describe(const ApiClient::RegisterOutcome& outcome) {
    const auto* result = std::get_if<ApiClient::RegisterResult>(&outcome);
    return result ? u"ok %1|%2|%3"_s.arg(result->computerID, result->token, result->clientID)
                  : std::get<ApiError>(outcome).errorDescription();
}

// clang-format off
enum Kind { plain, deregistration, reauth, silentConnect, silentRequest, drip, exact, over, endless, unframed401,
            otherOrigin, bigRedirect, selfSigned, remote };
// clang-format on

// A listener on 127.0.0.1 that takes a connection and reads whatever arrives, but never says a
// word: not even the TLS handshake's answer.
struct SilentServer final : QTcpServer {
    qint64 received = 0;
    bool closed = false; // the client hung up
    SilentServer() {
        listen(QHostAddress::LocalHost);
        connect(this, &QTcpServer::newConnection, this, [this] {
            QTcpSocket* peer = nextPendingConnection();
            connect(peer, &QTcpSocket::readyRead, this, [this, peer] { received += peer->readAll().size(); });
            connect(peer, &QTcpSocket::disconnected, this, [this] { closed = true; });
        });
    }
    QString url(bool tls) const {
        return u"http%1://127.0.0.1:%2/api"_s.arg(tls ? "s" : "").arg(serverPort());
    }
};

// Every outcome the call's completion received, joined by " + ", after "sync " when it came before
// the call returned.
QString call(const QString& base, Kind kind = plain) {
    auto outcomes = std::make_shared<QStringList>();
    const auto done = [outcomes](const auto& outcome) {
        *outcomes << describe(outcome);
    };
    if (kind == deregistration)
        ApiClient::deregister(base, u"tok-1"_s, nullptr, done);
    else
        ApiClient::registerAgent(base, u"alice"_s, password, {}, u"Lab"_s,
                                 kind == reauth ? std::optional(u"C-42"_s) : std::nullopt, nullptr, done);
    const QString sync = outcomes->isEmpty() ? QString() : u"sync "_s;
    if (QTest::qWaitFor([&] { return !outcomes->isEmpty(); }, 15000))
        QTest::qWait(30); // a second completion would show up here
    return sync + outcomes->join(u" + "_s);
}

} // namespace

class TestApiClient final : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    std::string certificate = dir.filePath(u"cert.pem"_s).toStdString();
    std::string key = dir.filePath(u"key.pem"_s).toStdString();

private Q_SLOTS:
    void initTestCase() {
        QProcess openssl;
        openssl.setProcessChannelMode(QProcess::MergedChannels);
        openssl.start(u"openssl"_s,
                      u"req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                      u"-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -keyout %1 -out %2"_s
                          .arg(QString::fromStdString(key), QString::fromStdString(certificate))
                          .split(u' '));
        QVERIFY(openssl.waitForFinished(30000));
        QVERIFY2(openssl.exitCode() == 0, openssl.readAll().constData());
    }
    void cleanup() { ApiClient::setTimeouts(ApiTransport::silenceLimitMs, ApiTransport::deadlineMs); }

    // A new registration as the server receives it: JSON at the API's register path (the base URL's
    // trailing slashes dropped), every member the server reads, the password exactly as typed.
    void request() {
        StubServer server;
        server.answer({.body = answerOk});
        QCOMPARE(call(server.url() + u"//"_s), u"ok C|T|K"_s);
        const StubServer::Request request = server.requests().at(0);
        QCOMPARE(request.path, u"/api/register/"_s);
        QCOMPARE(request.headers.find("Content-Type")->second, "application/json");
        const auto body = ApiTransport::Json::parse(request.body.toStdString());
        QStringList members;
        for (const auto& [member, value] : body.items())
            members << QString::fromStdString(member);
        QCOMPARE(members.join(u' '), u"username password computerName clientName locationName ipAddress "
                                     u"lastUsername OS osType UTC_Offset agentVersion"_s);
        QCOMPARE(QString::fromStdString(body["password"]), password);
    }

    // How each answer, or its absence, ends a call: exactly one outcome, nothing of the password for
    // another origin, and a connection the client had to give up closed.
    void outcomes_data() {
        QTest::addColumn<int>("kind");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("body");
        QTest::addColumn<QString>("expected"); // the outcome's beginning
        // clang-format off
        QTest::newRow("200 without clientID") << int(plain) << 200 << R"({"computerID":"C","token":"T"})" << "ok C|T|";
        QTest::newRow("200 numeric computerID") << int(plain) << 200 << R"({"computerID":1,"token":"T"})" << "Registration failed (HTTP 200).";
        QTest::newRow("200 empty body") << int(plain) << 200 << "" << parseFailure;
        QTest::newRow("200 object, then a NUL and garbage") << int(plain) << 200 << QString::fromUtf8(answerOk).append(u"\0 not JSON"_s) << parseFailure;
        QTest::newRow("200 ID led by U+FEFF, kept") << int(plain) << 200 << R"({"computerID":"\uFEFFC","token":"T"})" << u"ok \uFEFFC|T|"_s;
        QTest::newRow("201 complete") << int(plain) << 201 << answerOk << "Registration failed (HTTP 201).";
        QTest::newRow("deregister 404 object") << int(deregistration) << 404 << R"({"message":"Unknown"})" << "ok";
        // An answer that registers nothing is no success.
        QTest::newRow("200 with an empty computer ID") << int(plain) << 200 << R"({"computerID":"","token":"T"})" << "The server's answer did not include a computer ID and a token.";
        QTest::newRow("re-authentication, 200 with an empty token") << int(reauth) << 200 << R"({"computerID":"C","token":""})" << "The server's answer did not include a token.";
        // Silence ends a call after its limit (shortened here), a drip at the deadline (shortened).
        QTest::newRow("silent after connect") << int(silentConnect) << 0 << "" << timedOut;
        QTest::newRow("silent after the request") << int(silentRequest) << 0 << "" << timedOut;
        QTest::newRow("a drip without end") << int(drip) << 0 << "" << timedOut;
        QTest::newRow("exactly the size limit") << int(exact) << 0 << "" << "ok C|T|";
        QTest::newRow("a byte over the size limit") << int(over) << 0 << "" << parseFailure;
        // An answer without end is cut off at the limit, and nothing more is read.
        QTest::newRow("an endless answer") << int(endless) << 0 << "" << parseFailure;
        // Qt holds a 401 back until it has all of it; without a length it still arrives whole.
        QTest::newRow("401 near the limit, chunked") << int(unframed401) << 401 << "chunked" << "Bad password.";
        QTest::newRow("401 near the limit, ended by closing") << int(unframed401) << 401 << "closing" << "Bad password.";
        QTest::newRow("redirect to another origin") << int(otherOrigin) << 0 << "" << "The server redirected the request to another server; it was not followed.";
        QTest::newRow("redirect with a large body") << int(bigRedirect) << 0 << "" << "ok C|T|K";
        QTest::newRow("self-signed certificate") << int(selfSigned) << 0 << "" << "A secure connection to the server could not be made: The certificate is self-signed";
        // Plain http goes to this machine only, so that passwords never cross the network in clear text.
        for (const char* host : {"a.b", "localhost.a.b", "128.0.0.1"})
            QTest::addRow("http to %s", host) << int(remote) << 0 << host << "sync HTTPS is required: http://";
        QTest::newRow("invalid URL") << int(remote) << 0 << "[bad" << "sync Invalid URL: ";
        // clang-format on
    }
    void outcomes() {
        QFETCH(int, kind);
        QFETCH(int, status);
        QFETCH(QString, body);
        QFETCH(QString, expected);
        StubServer other;
        StubServer server(kind == selfSigned ? certificate : std::string(), key);
        SilentServer silent;
        server.answer({.status = status, .body = body.toStdString()});
        if (kind == silentConnect || kind == silentRequest) {
            ApiClient::setTimeouts(200, ApiTransport::deadlineMs);
        } else if (kind == drip) {
            // 64 KiB at once, then a byte every 10 ms: never silent for long.
            server.answer({.endlessFastBytes = 1});
            ApiClient::setTimeouts(ApiTransport::silenceLimitMs, 300);
        } else if (kind == exact || kind == over) {
            // A complete answer: read whole, it succeeds.
            const std::string head = "{\"computerID\":\"C\",\"token\":\"T\",\"pad\":\"";
            server.answer(
                {.body = head + std::string(limit + (kind == over) - head.size() - 2, 'x') + "\"}"});
        } else if (kind == endless) {
            server.answer({.endlessFastBytes = SIZE_MAX});
        } else if (kind == unframed401) {
            const std::string head = "{\"message\":\"Bad password.\",\"pad\":\"";
            server.answer(
                {.status = 401,
                 .body = head + std::string(limit - 1000 - head.size() - 2, 'x') + "\"}",
                 .framing = body == u"chunked" ? StubServer::Answer::chunked : StubServer::Answer::closing});
        } else if (kind == otherOrigin) {
            server.answer({.status = 307, .location = other.url().toStdString() + "/register/"});
        } else if (kind == bigRedirect) {
            // Qt never hands over a redirect's body, yet its read buffer must let all of it through.
            server.answer(
                {.status = 307, .body = std::string(512 * 1024, ' '), .location = "/api/v2/register/"});
            server.answer({.body = answerOk}, "/api/v2/register/");
        }
        const QString base = kind == remote          ? u"http://%1/api"_s.arg(body)
                             : kind == silentConnect ? silent.url(true)
                             : kind == silentRequest ? silent.url(false)
                                                     : server.url();
        const QString outcome = call(base, Kind(kind));
        QVERIFY2(outcome.startsWith(expected) && !outcome.contains(u" + "_s), qPrintable(outcome));
        QVERIFY(other.requests().empty());
        if (kind == silentConnect || kind == silentRequest)
            QTRY_VERIFY(silent.received > 0 && silent.closed);
        if (kind == drip || kind == endless)
            QTRY_VERIFY(server.endlessClosed && server.endlessWritten < 16 * limit);
    }
};

QTEST_GUILESS_MAIN(TestApiClient)
#include "tst_apiclient.moc"
