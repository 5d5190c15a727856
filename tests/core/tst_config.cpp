// The agent's configuration file: strict reading, the written form, and the privileged install
// (old bytes kept on failure, mode 644, no temporary file left, no planted link followed).
#include "CoreTestSupport.h"
#include "core/AgentConfig.h"
#include "core/Shell.h"
#include "core/Version.h"
#include "support/TestSandbox.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace CoreTest;

namespace {

const char* const keys[] = {"computerID",   "token",      "clientID",    "clientName",
                            "locationName", "apiBaseUrl", "agentVersion"};

AgentConfig sample(const QString& text = QStringLiteral("v")) {
    return {text + QLatin1Char('1'), text + QLatin1Char('2'), text + QLatin1Char('3'),
            text + QLatin1Char('4'), text + QLatin1Char('5'), text + QLatin1Char('6'),
            text + QLatin1Char('7')};
}

// A JSON object of the seven members with string values; `change` replaces member i's raw JSON
// value, or drops it when the replacement is empty.
QByteArray object(int changed = -1, const QByteArray& raw = {}, const QByteArray& extra = {}) {
    QByteArray json = "{";
    for (int i = 0; i < 7; ++i) {
        if (i == changed && raw.isEmpty())
            continue;
        if (json.size() > 1)
            json += ", ";
        const QByteArray value = i == changed ? raw : QByteArray('"' + QByteArray::number(i) + '"');
        json += '"' + QByteArray(keys[i]) + "\": " + value;
    }
    return json + extra + '}';
}

int fileMode(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode) : 0;
}

} // namespace

// Readable failures of QCOMPARE on records.
char* toString(const AgentConfig& config) {
    return qstrdup(config.toJson().constData());
}

class TestConfig final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void defaults();
    void isRegistered_data();
    void isRegistered();
    void writtenForm();
    void roundTripOfHostileStrings_data();
    void roundTripOfHostileStrings();
    void malformedLoadsDefaults_data();
    void malformedLoadsDefaults();
    void acceptedForms();
    void saveReplacesWithMode644_data();
    void saveReplacesWithMode644();
    void failedSaveKeepsOldBytes_data();
    void failedSaveKeepsOldBytes();
    void plantedLinksAreNotFollowed();
    void installCommandWithHostilePaths();
};

void TestConfig::defaults() {
    TestSandbox sandbox;
    const AgentConfig d = AgentConfig::defaults();
    QCOMPARE(d, AgentConfig({{},
                             {},
                             {},
                             QStringLiteral("Unassigned"),
                             {},
                             QStringLiteral("https://api.tavrel.com/api/v1/agentservice"),
                             QStringLiteral("1.0.0")}));
    QCOMPARE(appVersion(), QStringLiteral("1.0.0"));
    QVERIFY(!d.isRegistered());
    QCOMPARE(AgentConfig::load(), d);
}

void TestConfig::isRegistered_data() {
    QTest::addColumn<QString>("computerID");
    QTest::addColumn<QString>("token");
    QTest::addColumn<bool>("registered");
    QTest::newRow("both empty") << ""
                                << "" << false;
    QTest::newRow("id without token") << "C-1"
                                      << "" << false;
    QTest::newRow("token without id") << ""
                                      << "tok" << false;
    QTest::newRow("blank id counts") << " "
                                     << "tok" << true;
    QTest::newRow("blank token counts") << "C-1"
                                        << "\t" << true;
    QTest::newRow("both present") << "C-1"
                                  << "tok" << true;
}

void TestConfig::isRegistered() {
    QFETCH(QString, computerID);
    QFETCH(QString, token);
    QFETCH(bool, registered);
    AgentConfig config = AgentConfig::defaults();
    config.computerID = computerID;
    config.token = token;
    QCOMPARE(config.isRegistered(), registered);
}

// Seven string members in field order, one per line, ending in a line feed; any JSON reader
// gets the record back.
void TestConfig::writtenForm() {
    const QByteArray json = sample(QStringLiteral("a/\"\\")).toJson();
    QVERIFY(json.endsWith("}\n"));
    QCOMPARE(json.count('\n'), 9);
    qsizetype previous = -1;
    for (const char* key : keys) {
        const qsizetype at = json.indexOf(QByteArray('"' + QByteArray(key) + "\": "));
        QVERIFY2(at > previous, key);
        previous = at;
    }
    const QJsonObject parsed = QJsonDocument::fromJson(json).object();
    QCOMPARE(parsed.size(), 7);
    QCOMPARE(parsed.value(QLatin1String("agentVersion")).toString(), QStringLiteral("a/\"\\7"));
}

void TestConfig::roundTripOfHostileStrings_data() {
    QTest::addColumn<QString>("text");
    for (const auto& [name, text] : hostileTexts())
        QTest::newRow(qPrintable(name)) << text;
    QTest::newRow("slashes and URL") << "https://x.example/a/b?c=d&e=f#g";
    QTest::newRow("line breaks") << "line1\nline2\r\nline3\r";
    QTest::newRow("control characters") << QStringLiteral("\u0001\u001f\u007f\u2028 end");
    QTest::newRow("script end tag and unicode escape text") << "</script> \\u0041 \\/";
}

void TestConfig::roundTripOfHostileStrings() {
    QFETCH(QString, text);
    TestSandbox sandbox;
    const AgentConfig config = sample(text);
    const std::optional<AgentConfig> parsed = AgentConfig::fromJson(config.toJson());
    QVERIFY(parsed);
    QCOMPARE(*parsed, config);
    AgentConfig::save(config);
    QCOMPARE(AgentConfig::load(), config);
    QVERIFY(!QFile::exists(sandbox.path(QStringLiteral("canary"))));
}

void TestConfig::malformedLoadsDefaults_data() {
    QTest::addColumn<QByteArray>("bytes"); // "<missing>" and "<directory>" lay out no file
    QTest::newRow("missing file") << QByteArray("<missing>");
    QTest::newRow("directory") << QByteArray("<directory>");
    QTest::newRow("empty file") << QByteArray();
    QTest::newRow("invalid JSON") << QByteArray(object().chopped(1) + ',');
    QTest::newRow("array top level") << QByteArray('[' + object() + ']');
    QTest::newRow("string top level") << QByteArray("\"computerID\"");
    QTest::newRow("six of seven keys") << object(6);
    QTest::newRow("first key missing") << object(0);
    QTest::newRow("number") << object(0, "42");
    QTest::newRow("null") << object(1, "null");
    QTest::newRow("boolean") << object(2, "true");
    QTest::newRow("object") << object(3, "{\"a\": \"b\"}");
    QTest::newRow("array of strings") << object(4, "[\"x\"]");
    QTest::newRow("invalid UTF-8 in a value") << object(5, "\"bad\xff\xfe\"");
    QTest::newRow("trailing garbage") << QByteArray(object() + " x");
    QTest::newRow("two objects") << QByteArray(object() + object());
}

void TestConfig::malformedLoadsDefaults() {
    QFETCH(QByteArray, bytes);
    TestSandbox sandbox;
    sandbox.writeConfig(sample()); // a reader that keeps earlier state would show it
    QVERIFY(QFile::remove(sandbox.environment().configPath));
    if (bytes == "<directory>")
        QVERIFY(QDir().mkpath(sandbox.environment().configPath));
    else if (bytes != "<missing>")
        sandbox.writeConfigBytes(bytes);
    if (bytes.startsWith('{') || bytes.startsWith('['))
        QVERIFY(!AgentConfig::fromJson(bytes));
    QCOMPARE(AgentConfig::load(), AgentConfig::defaults());
}

// Any order, any spacing, extra members: read as long as the seven strings are there. The
// extra member is gone after the next save.
void TestConfig::acceptedForms() {
    TestSandbox sandbox;
    const AgentConfig expected{"0", "1", "2", "3", "4", "5", "6"};
    sandbox.writeConfigBytes(object(-1, {}, ", \"extra\": [1, null], \"computerID2\": 5"));
    QCOMPARE(AgentConfig::load(), expected);
    AgentConfig::save(AgentConfig::load());
    QVERIFY(!sandbox.configBytes().contains("extra"));
    QCOMPARE(AgentConfig::load(), expected);

    sandbox.writeConfigBytes("{\"agentVersion\":\"6\",\"apiBaseUrl\":\"5\",\"locationName\":\"4\",\n\t"
                             "\"clientName\":\"3\",\"clientID\":\"2\",\"token\":\"1\",\"computerID\":\"0\"}");
    QCOMPARE(AgentConfig::load(), expected);
}

void TestConfig::saveReplacesWithMode644_data() {
    QTest::addColumn<QByteArray>("before"); // "<missing>": no file yet
    QTest::addColumn<int>("beforeMode");
    QTest::newRow("replaces a private file") << QByteArray("{}\n") << 0600;
    QTest::newRow("replaces a longer file") << QByteArray(100000, ' ') << 0644;
    QTest::newRow("creates the file") << QByteArray("<missing>") << 0;
}

void TestConfig::saveReplacesWithMode644() {
    QFETCH(QByteArray, before);
    QFETCH(int, beforeMode);
    TestSandbox sandbox;
    const QString configPath = sandbox.environment().configPath;
    if (before == "<missing>") {
        QFile::remove(configPath);
    } else {
        sandbox.writeConfigBytes(before);
        ::chmod(QFile::encodeName(configPath).constData(), mode_t(beforeMode));
    }
    const AgentConfig config = sample(QStringLiteral("Zürich \"x\" "));
    const mode_t oldMask = ::umask(077);
    StderrCapture stderrCapture;
    AgentConfig::save(config);
    ::umask(oldMask);
    QCOMPARE(stderrCapture.text(), QByteArray());

    QVERIFY(S_ISREG(fileMode(configPath)));
    QCOMPARE(fileMode(configPath) & 07777, 0644);
    QCOMPARE(sandbox.configBytes(), config.toJson());
    QCOMPARE(AgentConfig::load(), config);
    QCOMPARE(entries(QFileInfo(configPath).path()), QStringList{QStringLiteral("config.json")});
    QCOMPARE(entries(sandbox.environment().tempDirectory), QStringList());
}

void TestConfig::failedSaveKeepsOldBytes_data() {
    QTest::addColumn<QString>("failure");
    QTest::newRow("administrator refuses") << "refused";
    QTest::newRow("pkexec dialog dismissed") << "pkexec";
    QTest::newRow("no staging directory") << "staging";
    for (const char* tool : {"mktemp", "cp", "cat", "chmod", "mv"})
        QTest::addRow("%s fails", tool) << QString::fromLatin1(tool);
}

// A failing step of the install (a stand-in tool first on PATH that fails) leaves config.json
// with its old bytes and no temporary file anywhere.
void TestConfig::failedSaveKeepsOldBytes() {
    QFETCH(QString, failure);
    TestSandbox sandbox;
    const QByteArray old = sample(QStringLiteral("old")).toJson();
    sandbox.writeConfigBytes(old);
    const QString called = sandbox.path(QStringLiteral("called-") + failure);
    if (failure == QLatin1String("refused")) {
        sandbox.recordPrivilegedCommands(false);
    } else if (failure == QLatin1String("staging")) {
        QVERIFY(QDir(sandbox.environment().tempDirectory).removeRecursively());
    } else if (failure == QLatin1String("pkexec")) {
        const QString program = installStandIn(sandbox.root(), QStringLiteral("pkexec"));
        writeFile(sandbox.path(QStringLiteral("standins/pkexec.answer")), "126\n");
        sandbox.changeEnvironment(
            [&](AgentEnvironment& e) { usePrivilegeBackend(e, PrivilegeMethod::Pkexec, program); });
    } else {
        writeExecutable(sandbox.path(QStringLiteral("bin/")) + failure,
                        "#!/bin/sh\ntouch '" + called.toUtf8() +
                            "'\necho 'failing on purpose' >&2\nexit 1\n");
    }

    StderrCapture stderrCapture;
    AgentConfig::save(sample(QStringLiteral("new")));
    const QByteArray reported = stderrCapture.text();
    const bool viaTool = !QStringList{"refused", "pkexec", "staging"}.contains(failure);
    if (viaTool && !QFile::exists(called))
        QSKIP("the install command does not use this tool");

    QCOMPARE(sandbox.configBytes(), old);
    QCOMPARE(AgentConfig::load(), sample(QStringLiteral("old")));
    QCOMPARE(entries(QFileInfo(sandbox.environment().configPath).path()),
             QStringList{QStringLiteral("config.json")});
    QCOMPARE(entries(sandbox.environment().tempDirectory), QStringList());
    if (failure == QLatin1String("refused"))
        QCOMPARE(sandbox.privilegedCommands().size(), 1);
    else if (failure != QLatin1String("staging"))
        QCOMPARE(reported.count("[runPrivileged] osascript error: "), 1);
}

// Another local user may plant links at any name he can predict; none may be followed, neither
// when staging nor when installing.
void TestConfig::plantedLinksAreNotFollowed() {
    TestSandbox sandbox;
    const QString victim = sandbox.path(QStringLiteral("victim"));
    writeFile(victim, "victim\n");
    const QString dangling = sandbox.path(QStringLiteral("dangling-target"));
    const QString configDir = QFileInfo(sandbox.environment().configPath).path();
    const QString stagingDir = sandbox.environment().tempDirectory;
    QStringList planted;
    for (const QString& dir : {configDir, stagingDir})
        for (const char* name :
             {"tavrel_config_tmp.json", "config.json.tmp", ".config.json.tmp", "config.json~",
              "config.json.new", ".config.json", "config.tmp", "config.json.XXXXXX"})
            planted << dir + QLatin1Char('/') + QLatin1String(name);
    for (int i = 0; i < planted.size(); ++i)
        QVERIFY(QFile::link(i % 2 ? dangling : victim, planted.at(i)));

    const AgentConfig config = sample(QStringLiteral("secret token "));
    AgentConfig::save(config);
    QCOMPARE(readFile(victim), QByteArray("victim\n"));
    QVERIFY(!QFile::exists(dangling));
    QVERIFY(!QFileInfo(sandbox.environment().configPath).isSymLink());
    QCOMPARE(sandbox.configBytes(), config.toJson());
    QCOMPARE(fileMode(sandbox.environment().configPath) & 07777, 0644);
    // Only the planted links and config.json remain.
    QCOMPARE(entries(configDir).size() + entries(stagingDir).size(), planted.size() + 1);
}

void TestConfig::installCommandWithHostilePaths() {
    TestSandbox sandbox;
    const QString canary = sandbox.path(QStringLiteral("canary"));
    const QString stagedDir =
        sandbox.path(QStringLiteral("it's $(touch ") + canary + QStringLiteral(") `x`"));
    const QString configDir = sandbox.path(QStringLiteral("conf \"dir\"; \\ & |\nnext"));
    QVERIFY(QDir().mkpath(stagedDir) && QDir().mkpath(configDir));
    const QString staged = stagedDir + QStringLiteral("/staged -n.json");
    const QString config = configDir + QStringLiteral("/config.json");
    writeFile(staged, "new bytes\n");
    writeFile(config, "old bytes\n");
    QVERIFY(runPrivileged(AgentConfig::installCommand(staged, config)));
    QCOMPARE(readFile(config), QByteArray("new bytes\n"));
    QCOMPARE(fileMode(config) & 07777, 0644);
    QCOMPARE(entries(configDir), QStringList{QStringLiteral("config.json")});
    QVERIFY(!QFile::exists(canary));
}

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"
