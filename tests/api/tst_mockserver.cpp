#include "api/ApiClient.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <memory>

using ApiClient::RegisterOutcome;
using ApiClient::RegisterResult;
using Json = nlohmann::json;

namespace {

const QString program = QStringLiteral(TAVREL_MOCK_SERVER);

template <typename Outcome>
std::optional<Outcome> await(std::function<void(std::function<void(const Outcome&)>)> start) {
    auto result = std::make_shared<std::optional<Outcome>>();
    start([result](const Outcome& outcome) { *result = outcome; });
    if (!QTest::qWaitFor([&] { return result->has_value(); }, 10000))
        return std::nullopt;
    return *result;
}

} // namespace

class TestMockServer final : public QObject {
    Q_OBJECT

    QTemporaryDir dir_;
    QProcess server_;
    QString base_;
    httplib::Headers none_;
    int port_ = 0;

    std::optional<RegisterOutcome> registerAs(const QString& password,
                                              const std::optional<QString>& existing) {
        return await<RegisterOutcome>([&](auto done) {
            ApiClient::registerAgent(base_, QStringLiteral("alice"), password, QStringLiteral("Acme"),
                                     QStringLiteral("Lab"), existing, done);
        });
    }

    QStringList outputLines() {
        server_.waitForReadyRead(200);
        return QString::fromUtf8(server_.readAllStandardOutput())
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }

private Q_SLOTS:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        server_.start(program,
                      {QStringLiteral("--port"), QStringLiteral("0"), QStringLiteral("--user"),
                       QStringLiteral("alice"), QStringLiteral("--password"), QStringLiteral("s3cret pass"),
                       QStringLiteral("--log"), dir_.filePath(QStringLiteral("requests.jsonl"))});
        QVERIFY(server_.waitForStarted());
        QVERIFY(server_.waitForReadyRead(5000));
        const QString first = QString::fromUtf8(server_.readLine()).trimmed();
        QVERIFY2(first.startsWith(QLatin1String("listening on 127.0.0.1:")), qPrintable(first));
        port_ = first.section(QLatin1Char(':'), -1).toInt();
        QVERIFY(port_ > 0);
        base_ = QStringLiteral("http://127.0.0.1:%1/api/v1/agentservice").arg(port_);
    }

    void registration() {
        const auto refused = registerAs(QStringLiteral("wrong"), std::nullopt);
        QVERIFY(refused && std::holds_alternative<ApiError>(*refused));
        QCOMPARE(std::get<ApiError>(*refused),
                 ApiError::serverError(401, QStringLiteral("Invalid username or password.")));

        const auto registered = registerAs(QStringLiteral("s3cret pass"), std::nullopt);
        QVERIFY(registered && std::holds_alternative<RegisterResult>(*registered));
        const RegisterResult first = std::get<RegisterResult>(*registered);
        QVERIFY(!first.computerID.isEmpty() && !first.token.isEmpty() && !first.clientID.isEmpty());

        // Re-authentication keeps the computer's identity and issues a fresh token.
        const auto renewed = registerAs(QStringLiteral("s3cret pass"), first.computerID);
        QVERIFY(renewed && std::holds_alternative<RegisterResult>(*renewed));
        const RegisterResult second = std::get<RegisterResult>(*renewed);
        QCOMPARE(second.computerID, first.computerID);
        QCOMPARE(second.clientID, first.clientID);
        QVERIFY(second.token != first.token);

        const auto deregistered = await<std::optional<ApiError>>(
            [&](auto done) { ApiClient::deregister(base_, first.token, done); });
        QVERIFY(deregistered.has_value());
        QCOMPARE(*deregistered, std::nullopt);
    }

    void malformedAndUnknownRequests() {
        httplib::Client client("127.0.0.1", port_);
        const auto malformed =
            client.Post("/api/v1/agentservice/register/", "{\"username\":", "application/json");
        QVERIFY(malformed);
        QCOMPARE(malformed->status, 400);
        QVERIFY(Json::parse(malformed->body).at("message").is_string());
        const auto array = client.Post("/register/", "[]", "application/json");
        QVERIFY(array);
        QCOMPARE(array->status, 400);
        const auto unknown = client.Post("/api/v1/agentservice/other/", "{}", "application/json");
        QVERIFY(unknown);
        QCOMPARE(unknown->status, 404);
    }

    // One line per request on standard output, and one JSON line per request in the log.
    void records() {
        const QStringList lines = outputLines();
        QCOMPARE(lines.size(), 7);
        QVERIFY2(lines[0].startsWith(QLatin1String("POST /api/v1/agentservice/register/ -> 401")),
                 qPrintable(lines[0]));
        QVERIFY2(lines[3].startsWith(QLatin1String("POST /api/v1/agentservice/deregister/ -> 200")),
                 qPrintable(lines[3]));

        QFile log(dir_.filePath(QStringLiteral("requests.jsonl")));
        QVERIFY(log.open(QIODevice::ReadOnly));
        const QList<QByteArray> entries = log.readAll().split('\n');
        QCOMPARE(entries.size(), 8); // and a final newline
        const Json reauth = Json::parse(entries[2].toStdString());
        QCOMPARE(QString::fromStdString(reauth.at("path").get<std::string>()),
                 QStringLiteral("/api/v1/agentservice/register/"));
        QCOMPARE(reauth.at("status").get<int>(), 200);
        QCOMPARE(QString::fromStdString(reauth.at("body").at("password").get<std::string>()),
                 QStringLiteral("s3cret pass"));
        QVERIFY(reauth.at("body").contains("computerID"));
        const Json malformed = Json::parse(entries[4].toStdString());
        QCOMPARE(QString::fromStdString(malformed.at("body").get<std::string>()),
                 QStringLiteral("{\"username\":"));
    }

    void badCommandLines_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("no credentials") << QStringList{QStringLiteral("--port"), QStringLiteral("0")} << 2;
        QTest::newRow("bad port") << QStringList{QStringLiteral("--port"),     QStringLiteral("http"),
                                                 QStringLiteral("--user"),     QStringLiteral("u"),
                                                 QStringLiteral("--password"), QStringLiteral("p")}
                                  << 2;
        QTest::newRow("port taken") << QStringList{QStringLiteral("--port"),     QString::number(port_),
                                                   QStringLiteral("--user"),     QStringLiteral("u"),
                                                   QStringLiteral("--password"), QStringLiteral("p")}
                                    << 1;
    }
    void badCommandLines() {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QProcess process;
        process.start(program, arguments);
        QVERIFY(process.waitForFinished(5000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), exitCode);
    }

    void stopsOnTerminate() {
        ::kill(static_cast<pid_t>(server_.processId()), SIGTERM);
        QVERIFY(server_.waitForFinished(5000));
        QCOMPARE(server_.exitStatus(), QProcess::NormalExit);
        QCOMPARE(server_.exitCode(), 0);
    }

    void cleanupTestCase() {
        if (server_.state() != QProcess::NotRunning) {
            server_.kill();
            server_.waitForFinished();
        }
    }
};

QTEST_GUILESS_MAIN(TestMockServer)
#include "tst_mockserver.moc"
