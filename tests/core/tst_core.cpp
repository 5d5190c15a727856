// The core library against real files, real child processes, and stand-ins for osascript and
// pkexec (core/standins) that behave like the real tools.
#include "core/AgentConfig.h"
#include "core/Logger.h"
#include "core/ProcessSearch.h"
#include "core/ServiceControl.h"
#include "core/Shell.h"
#include "core/SystemInfo.h"
#include "support/TestSandbox.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryFile>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(PrivilegeMethod)

namespace {

void writeExecutable(const QString& path, const QByteArray& script) {
    TestSandbox::writeFile(path, script);
    ::chmod(QFile::encodeName(path).constData(), 0755);
}

int fileMode(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode) : 0;
}

// Files and folders, hidden ones included; links (dangling ones too) left out.
QStringList entries(const QString& directory) {
    return QDir(directory).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot |
                                     QDir::NoSymLinks);
}

// What `run` writes to file descriptor 2, where runPrivileged reports.
QByteArray stderrOf(const std::function<void()>& run) {
    QTemporaryFile file;
    if (!file.open())
        qFatal("cannot capture standard error");
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(file.handle(), 2);
    run();
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    return TestSandbox::readFile(file.fileName());
}

// Texts a shell, printf, echo or AppleScript could mangle. CANARY stands for a file that a
// command substitution in them would create.
QStringList hostileTexts() {
    return {u"say \"hi\" \\\" C:\\new\\t\\\\end\\"_s,
            u"$(touch CANARY) `touch CANARY`"_s,
            u"it's 'quoted' ''"_s,
            u"cut\\chere %s %d %n %% %b"_s,
            u"-n"_s,
            u"-e \\x41\\0101 $HOME ${PATH} $0 $$ * ? [a] ; && | > < & ! ~ #"_s,
            u"Zürich – 東京 ▼ \U0001F600 /a/b/"_s,
            u"  padded\tand tabbed  "_s,
            QString()};
}

const char* backendName(PrivilegeMethod method) {
    return method == PrivilegeMethod::AppleScript ? "osascript"
           : method == PrivilegeMethod::Pkexec    ? "pkexec"
                                                  : "direct";
}

// Makes method the privilege backend: a copy of its stand-in (the pkexec one answering `answer`),
// or a program that does not exist when answer is "missing". Returns the program.
QString useBackend(TestSandbox& sandbox, PrivilegeMethod method, const QString& answer = {}) {
    QDir(sandbox.root()).mkpath(u"standins"_s);
    const QString name = QString::fromLatin1(backendName(method));
    const QString program = sandbox.path(u"standins/"_s + (answer == "missing"_L1 ? answer : name));
    if (method != PrivilegeMethod::Direct && answer != "missing"_L1)
        writeExecutable(program, TestSandbox::readFile(QStringLiteral(TAVREL_STANDINS_DIR "/") + name));
    TestSandbox::writeFile(sandbox.path(u"standins/pkexec.answer"_s), answer.toUtf8() + '\n');
    sandbox.changeEnvironment([&](AgentEnvironment& e) {
        e.privilegeMethod = method;
        e.privilegeProgram = program;
    });
    return program;
}

AgentConfig sample(const QString& text) {
    return {text + u'1', text + u'2', text + u'3', text + u'4', text + u'5', text + u'6', text + u'7'};
}

// The seven members, each a string, in field order.
const QByteArray validConfig = R"({"computerID": "0", "token": "1", "clientID": "2", "clientName": "3",
                                   "locationName": "4", "apiBaseUrl": "5", "agentVersion": "6"})";

// Lines of random length and content (multi-byte characters, CR, runs of blank lines, now and
// then one longer than a read block), so that block and character boundaries fall everywhere.
QByteArray randomLog(quint32 seed) {
    QRandomGenerator random(seed);
    const char* const pieces[] = {"a", " ", "\r", "\xc3\xa9", "\xe6\x9d\xb1", "\xf0\x9f\x98\x80"};
    QByteArray log;
    while (log.size() < 1500000) {
        const int length = random.bounded(30) == 0 ? random.bounded(150000) : random.bounded(100);
        for (int i = 0; i < length; ++i)
            log += pieces[random.bounded(6)];
        log += random.bounded(5) == 0 ? "\n\n\n" : "\n";
    }
    return random.bounded(2) ? log + "no final line feed" : log;
}

} // namespace

// Readable failures of QCOMPARE on records.
char* toString(const AgentConfig& config) {
    return qstrdup(config.toJson().constData());
}

class TestCore final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void pureFunctions();
    void shellResults_data();
    void shellResults();
    void osascriptGetsCleanEnvironment();
    void privilegedOutcomes_data();
    void privilegedOutcomes();
    void serviceCommands();
    void serviceStatus_data();
    void serviceStatus();
    void processSearch_data();
    void processSearch();
    void configRecord(); // defaults, written form, isRegistered, round trip of hostile strings
    void configLoad_data();
    void configLoad();
    void configSave_data();
    void configSave();
    void logAppend_data();
    void logAppend();
    void lastLines_data();
    void lastLines();
    void tailSequence();
};

void TestCore::pureFunctions() {
    // The documented example: echo "a\b" becomes echo \"a\\b\" inside the literal.
    QCOMPARE(appleScriptSource(u"echo \"a\\b\""_s),
             u"do shell script \"echo \\\"a\\\\b\\\"\" with administrator privileges"_s);
    QCOMPARE(Logger::appendCommand(u"it's"_s, u"/var/x y/activity.log"_s),
             u"printf '%s\\n' 'it'\\''s' >> '/var/x y/activity.log'"_s);
    QCOMPARE(Logger::formatLine(QDateTime(QDate(2025, 3, 7), QTime(14, 5, 9, 987), Qt::UTC), u"INFO"_s,
                                u"a\r\nb\nc"_s),
             u"[2025-03-07T14:05:09Z] [INFO] a  b c"_s);
    const std::pair<int, const char*> offsets[] = {{0, "+00:00"},     {19800, "+05:30"},  {-12600, "-03:30"},
                                                   {20700, "+05:45"}, {-36000, "-10:00"}, {-3659, "-01:00"}};
    for (const auto& [seconds, text] : offsets)
        QCOMPARE(SystemInfo::formatUtcOffset(seconds), QString::fromLatin1(text));
}

void TestCore::shellResults_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("exitCode"); // -1: the environment's shell is made to fail
    QTest::addColumn<QString>("output");
    QTest::newRow("merged in order") << u"echo out; echo err >&2; echo out2"_s << 0 << "out\nerr\nout2\n";
    QTest::newRow("exit code, not trimmed") << u"printf ' x \\n\\n' >&2; exit 3"_s << 3 << " x \n\n";
    QTest::newRow("non-ASCII, bash") << u"[[ -n x ]] && printf 'Zürich – 東京'"_s << 0 << "Zürich – 東京";
    QTest::newRow("invalid UTF-8 drops the output") << u"printf 'ok\\377'; exit 4"_s << 4 << "";
    QTest::newRow("sandbox bin first on PATH") << u"sandbox-tool"_s << 0 << "sandbox tool\n";
    QTest::newRow("shell cannot start") << u"echo hi"_s << -1 << "";
}

void TestCore::shellResults() {
    QFETCH(QString, command);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    TestSandbox sandbox;
    writeExecutable(sandbox.path(u"bin/sandbox-tool"_s), "#!/bin/sh\necho sandbox tool\n");
    if (exitCode == -1)
        sandbox.changeEnvironment([&](AgentEnvironment& e) { e.shellProgram = sandbox.path(u"no/bash"_s); });
    const ShellResult result = runShell(command);
    QCOMPARE(result.output, output);
    QCOMPARE(result.exitCode, exitCode);
}

// An inherited BASH_ENV or PATH must not reach the administrator shell.
void TestCore::osascriptGetsCleanEnvironment() {
    TestSandbox sandbox;
    useBackend(sandbox, PrivilegeMethod::AppleScript);
    const QString envFile = sandbox.path(u"env.txt"_s);
    const QByteArray path = qgetenv("PATH");
    qputenv("BASH_ENV", sandbox.path(u"bash_env"_s).toUtf8());
    qputenv("PATH", sandbox.path(u"bin"_s).toUtf8() + ':' + path);
    const bool ran = runPrivileged(u"env > "_s + shellQuote(envFile));
    qunsetenv("BASH_ENV");
    qputenv("PATH", path);
    const QByteArray seen = TestSandbox::readFile(envFile);
    QVERIFY(ran && seen.contains("PATH=/usr/bin:/bin"));
    QVERIFY(!seen.contains("BASH_ENV") && !seen.contains(sandbox.root().toUtf8()));
}

void TestCore::privilegedOutcomes_data() {
    QTest::addColumn<PrivilegeMethod>("method");
    QTest::addColumn<QString>("answer"); // the pkexec stand-in's; "missing": no such program
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QString>("message"); // part of the one error line
    const auto osascript = PrivilegeMethod::AppleScript;
    const auto pkexec = PrivilegeMethod::Pkexec;
    QTest::newRow("osascript: success") << osascript << QString() << u"echo to-stdout"_s << true << "";
    QTest::newRow("osascript: fails")
        << osascript << QString() << u"echo boom >&2; exit 3"_s << false << "boom (3)";
    QTest::newRow("osascript: cannot start") << osascript << u"missing"_s << u"true"_s << false << "";
    QTest::newRow("pkexec: success") << pkexec << QString() << u"echo to-stdout"_s << true << "";
    QTest::newRow("pkexec: dismissed") << pkexec << u"126"_s << u"true"_s << false << "Request dismissed";
    QTest::newRow("pkexec: not authorised") << pkexec << u"127"_s << u"true"_s << false << "Not authorized";
    QTest::newRow("pkexec: fails silently") << pkexec << QString() << u"exit 4"_s << false << "exit status 4";
    QTest::newRow("pkexec: cannot start") << pkexec << u"missing"_s << u"true"_s << false << "";
    QTest::newRow("direct: fails") << PrivilegeMethod::Direct << QString() << u"exit 6"_s << false
                                   << "status 6";
}

void TestCore::privilegedOutcomes() {
    QFETCH(PrivilegeMethod, method);
    QFETCH(QString, answer);
    QFETCH(QString, command);
    QFETCH(bool, succeeds);
    QFETCH(QString, message);
    TestSandbox sandbox;
    useBackend(sandbox, method, answer);
    bool ran = !succeeds;
    const QString reported = QString::fromUtf8(stderrOf([&] { ran = runPrivileged(command); }));
    QCOMPARE(ran, succeeds);
    const QString prefix = u"[runPrivileged] osascript error: "_s;
    QVERIFY2(succeeds ? reported.isEmpty()
                      : reported.startsWith(prefix) && reported.size() > prefix.size() + 1 &&
                            reported.indexOf(u'\n') == reported.size() - 1 && !reported.contains(u'\r') &&
                            reported.contains(message),
             qPrintable(reported));
}

// The macOS lines byte for byte, and the systemd ones.
void TestCore::serviceCommands() {
    const AgentEnvironment mac = AgentEnvironment::macOS();
    QCOMPARE(mac.startServiceCommand,
             u"launchctl bootstrap system /Library/LaunchDaemons/com.tavrel.agentservice"
             u".plist 2>/dev/null || launchctl kickstart system/com.tavrel.agentservice"_s);
    QCOMPARE(mac.stopServiceCommand, u"launchctl bootout system/com.tavrel.agentservice"_s);
    QCOMPARE(mac.restartServiceCommand,
             u"launchctl kickstart -k system/com.tavrel.agentservice 2>/dev/null || (launchctl bootout "
             u"system/com.tavrel.agentservice 2>/dev/null; sleep 3; launchctl bootstrap system "
             u"/Library/LaunchDaemons/com.tavrel.agentservice.plist)"_s);
    QCOMPARE(
        QList<qsizetype>({mac.startServiceCommand.toUtf8().size(), mac.stopServiceCommand.toUtf8().size(),
                          mac.restartServiceCommand.toUtf8().size()}),
        QList<qsizetype>({145, 48, 221}));
    QCOMPARE(mac.processSearchCommand, u"pgrep -f tavrel_agent.py 2>/dev/null"_s);
    const AgentEnvironment systemd = AgentEnvironment::linuxSystemd();
    QCOMPARE(systemd.stopServiceCommand, u"systemctl stop com.tavrel.agentservice.service"_s);
    QCOMPARE(systemd.serviceDefinitionPath, u"/etc/systemd/system/com.tavrel.agentservice.service"_s);
    QVERIFY(mac.processSearchPattern.isEmpty()); // else the line above would never run
    for (const AgentEnvironment& e : {mac, systemd}) {
        QCOMPARE(e.configPath, u"/var/tavrel/agentservice/config.json"_s);
        QCOMPARE(e.logPath, u"/var/tavrel/agentservice/activity.log"_s);
    }
}

void TestCore::serviceStatus_data() {
    QTest::addColumn<QString>("agent");   // a real agent process: the sandbox's "own" or a "neighbour"'s
    QTest::addColumn<bool>("definition"); // the sandbox's unit file
    QTest::addColumn<QString>("search");  // a shell search instead; "no shell" breaks the shell
    QTest::addColumn<QString>("state");
    QTest::newRow("running") << u"own"_s << true << QString() << ServiceState::Running;
    QTest::newRow("running without definition") << u"own"_s << false << QString() << ServiceState::Running;
    QTest::newRow("only another sandbox's agent runs")
        << u"neighbour"_s << true << QString() << ServiceState::Stopped;
    QTest::newRow("stopped") << QString() << true << QString() << ServiceState::Stopped;
    QTest::newRow("not installed") << QString() << false << QString() << ServiceState::NotInstalled;
    QTest::newRow("search prints only blanks")
        << QString() << true << u"printf ' \\n\\t\\n'"_s << ServiceState::Stopped;
    QTest::newRow("search fails with output")
        << QString() << true << u"echo 1; exit 1"_s << ServiceState::Stopped;
    QTest::newRow("shell search finds one") << QString() << false << u"echo 1"_s << ServiceState::Running;
    QTest::newRow("shell cannot start") << QString() << false << u"no shell"_s << ServiceState::NotInstalled;
}

void TestCore::serviceStatus() {
    QFETCH(QString, agent);
    QFETCH(bool, definition);
    QFETCH(QString, search);
    QFETCH(QString, state);
    TestSandbox neighbour; // made first, so that the row's own sandbox below is the one installed
    QVERIFY(agent != "neighbour"_L1 || neighbour.startAgentProcess());
    TestSandbox sandbox;
    sandbox.setServiceDefinition(definition);
    QVERIFY(agent != "own"_L1 || sandbox.startAgentProcess());
    if (!search.isEmpty()) {
        sandbox.changeEnvironment([&](AgentEnvironment& e) {
            e.processSearchPattern.clear();
            e.processSearchCommand = search == "no shell"_L1 ? u"echo 1"_s : search;
            if (search == "no shell"_L1)
                e.shellProgram = sandbox.path(u"no/bash"_s);
        });
    }
    QCOMPARE(getAgentServiceStatus(), state);
}

// Each row starts a process that lives until its standard input ends, through a shell line that
// prints the number of the process it is about, and compares findProcesses with pgrep -f.
void TestCore::processSearch_data() {
    QTest::addColumn<QString>("start"); // ROOT: the sandbox; "self": this test with the name in its arguments
    QTest::addColumn<QByteArray>("ready"); // in /proc/PID/stat once the process is in place
    QTest::addColumn<bool>("counted");
    const QString reader = u"echo $$; exec /usr/bin/python3 -c 'import sys; sys.stdin.read()' "_s;
    QTest::newRow("agent") << reader + u"ROOT/bin/tavrel_agent.py"_s << QByteArray("(python3)") << true;
    QTest::newRow("name split over two arguments")
        << reader + u"tavrel_agent .py"_s << QByteArray("(python3)") << false;
    QTest::newRow("path contains the name")
        << u"echo $$; exec ROOT/tavrel_agent.py.d/cat"_s << QByteArray("(cat)") << true;
    QTest::newRow("zombie") << u"ROOT/bin/tavrel_agent.py & echo $!; read x; wait"_s
                            << QByteArray("(tavrel_agent.py) Z") << false;
    QTest::newRow("our own command line") << u"self"_s << QByteArray() << false;
    QTest::newRow("nothing running") << QString() << QByteArray() << false;
}

void TestCore::processSearch() {
    QFETCH(QString, start);
    QFETCH(QByteArray, ready);
    QFETCH(bool, counted);
    const QByteArray name = "tavrel_agent.py";
    TestSandbox sandbox;
    QProcess process;
    const auto end = qScopeGuard([&] {
        process.closeWriteChannel(); // the shell reaps its zombie before it ends
        process.waitForFinished();
    });
    pid_t pid = 0;
    if (start == "self"_L1 && !QCoreApplication::arguments().join(u' ').contains(QLatin1String(name))) {
        // This row again, in a process whose command line holds the name.
        const QString report = sandbox.path(u"tavrel_agent.py.txt"_s);
        process.start(QCoreApplication::applicationFilePath(),
                      {u"-o"_s, report + u",txt"_s, u"processSearch:our own command line"_s});
        QVERIFY2(process.waitForFinished(60000) && process.exitCode() == 0,
                 TestSandbox::readFile(report).constData());
        return;
    }
    if (start == "self"_L1)
        pid = ::getpid();
    else if (!start.isEmpty()) {
        writeExecutable(sandbox.path(u"bin/tavrel_agent.py"_s), "#!/bin/sh\nexit 0\n");
        QDir(sandbox.root()).mkpath(u"tavrel_agent.py.d"_s);
        QVERIFY(QFile::copy(u"/bin/cat"_s, sandbox.path(u"tavrel_agent.py.d/cat"_s)));
        process.start(u"/bin/sh"_s, {u"-c"_s, QString(start).replace(u"ROOT"_s, shellQuote(sandbox.root()))});
        QVERIFY(process.waitForReadyRead(10000));
        pid = pid_t(process.readLine().trimmed().toInt());
        QTRY_VERIFY(TestSandbox::readFile(u"/proc/%1/stat"_s.arg(pid)).contains(ready));
    }
    const auto pgrep = [] {
        QProcess search;
        search.start(u"pgrep"_s, {u"-f"_s, u"tavrel_agent\\.py"_s});
        search.waitForFinished();
        QList<pid_t> found;
        for (const QByteArray& line : search.readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                found.append(pid_t(line.toInt()));
        return found;
    };
    // pgrep also counts us and, by their names, zombies. Other processes come and go meanwhile:
    // the row passes once our answer agrees with pgrep's just before and just after it.
    QByteArray seen;
    const auto agrees = [&] {
        const QList<pid_t> before = pgrep(), ours = findProcesses(name), after = pgrep();
        seen = "pgrep " + QByteArray::number(before.size()) + ", ours " + QByteArray::number(ours.size());
        const auto excluded = [](pid_t found) {
            const QByteArray stat = TestSandbox::readFile(u"/proc/%1/stat"_s.arg(found));
            return found == ::getpid() || stat.mid(stat.lastIndexOf(')')).startsWith(") Z");
        };
        return before == after && ours.contains(pid) == counted &&
               std::all_of(before.begin(), before.end(),
                           [&](pid_t p) { return ours.contains(p) != excluded(p); }) &&
               std::all_of(ours.begin(), ours.end(), [&](pid_t p) { return before.contains(p); });
    };
    bool agreed = agrees();
    for (int attempt = 0; !agreed && attempt < 20; ++attempt)
        agreed = agrees();
    QVERIFY2(agreed, seen.constData());
}

void TestCore::configRecord() {
    QCOMPARE(
        AgentConfig::defaults(),
        AgentConfig(
            {{}, {}, {}, u"Unassigned"_s, {}, u"https://api.tavrel.com/api/v1/agentservice"_s, u"1.0.0"_s}));
    // Seven members in field order, one a line, ending in a line feed.
    QCOMPARE(sample(u"v"_s).toJson(),
             QByteArray("{\n  \"computerID\": \"v1\",\n  \"token\": \"v2\",\n  \"clientID\": \"v3\",\n"
                        "  \"clientName\": \"v4\",\n  \"locationName\": \"v5\",\n  \"apiBaseUrl\": \"v6\",\n"
                        "  \"agentVersion\": \"v7\"\n}\n"));
    const std::tuple<const char*, const char*, bool> registered[] = {
        {"", "", false}, {"C-1", "", false}, {"", "tok", false}, {" ", "\t", true}};
    for (const auto& [id, token, expected] : registered) {
        AgentConfig config = AgentConfig::defaults();
        config.computerID = QString::fromLatin1(id);
        config.token = QString::fromLatin1(token);
        QVERIFY2(config.isRegistered() == expected, id);
    }
    TestSandbox sandbox;
    for (const QString& text :
         hostileTexts() + QStringList{u"a\nb\r\n\u0001\u007f\u2028 </script> \\u0041"_s}) {
        const AgentConfig config = sample(text);
        AgentConfig::save(config);
        QCOMPARE(AgentConfig::load(), config);
    }
}

void TestCore::configLoad_data() {
    QTest::addColumn<QByteArray>("bytes"); // "<missing>" and "<directory>" lay out no file
    QTest::addColumn<bool>("accepted");    // read as "0" to "6", else the default record
    QTest::newRow("missing file") << QByteArray("<missing>") << false;
    QTest::newRow("directory") << QByteArray("<directory>") << false;
    QTest::newRow("empty file") << QByteArray() << false;
    QTest::newRow("invalid JSON") << QByteArray(validConfig).replace('}', ",}") << false;
    QTest::newRow("array top level") << QByteArray('[' + validConfig + ']') << false;
    QTest::newRow("a member missing") << QByteArray(validConfig).replace(R"(, "token": "1")", "") << false;
    for (const char* raw : {"42", "null", "true", "{\"a\": \"b\"}", "[\"x\"]", "\"bad\xff\""})
        QTest::addRow("a member is %s", raw) << QByteArray(validConfig).replace("\"1\"", raw) << false;
    QTest::newRow("trailing garbage") << QByteArray(validConfig + " x") << false;
    QTest::newRow("extra members") << QByteArray(validConfig).replace('}', R"(, "extra": [1, null]})")
                                   << true;
    QTest::newRow("any order and spacing")
        << QByteArray(
               "{\"agentVersion\":\"6\",\"apiBaseUrl\":\"5\",\"locationName\":\"4\",\n\t\"clientName\":\"3\","
               "\"clientID\":\"2\",\"token\":\"1\",\"computerID\":\"0\"}")
        << true;
}

void TestCore::configLoad() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    TestSandbox sandbox;
    if (bytes == "<directory>")
        QVERIFY(QDir().mkpath(sandbox.environment().configPath));
    else if (bytes != "<missing>")
        sandbox.writeConfigBytes(bytes);
    const AgentConfig record{"0", "1", "2", "3", "4", "5", "6"};
    QCOMPARE(AgentConfig::load(), accepted ? record : AgentConfig::defaults());
}

void TestCore::configSave_data() {
    QTest::addColumn<QString>("setup");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("replaces a private file") << QString() << true;
    QTest::newRow("creates the file") << u"create"_s << true;
    QTest::newRow("hostile staging and configuration paths") << u"hostile"_s << true;
    QTest::newRow("links planted at predictable names") << u"links"_s << true;
    QTest::newRow("administrator refuses (pkexec 126)") << u"126"_s << false;
    QTest::newRow("no staging directory") << u"staging"_s << false;
    for (const char* tool : {"mktemp", "cat", "chmod", "mv"})
        QTest::addRow("%s fails", tool) << QString::fromLatin1(tool) << false;
}

// The install replaces config.json with exactly the new bytes and mode 644, or leaves the old
// file as it was when any step fails; either way no temporary file remains. Another local user
// may plant links or put shell syntax in a path: nothing follows them, nothing runs.
void TestCore::configSave() {
    QFETCH(QString, setup);
    QFETCH(bool, succeeds);
    TestSandbox sandbox;
    const QString canary = sandbox.path(u"canary"_s);
    if (setup == "hostile"_L1)
        sandbox.changeEnvironment([&](AgentEnvironment& e) {
            e.tempDirectory = sandbox.path(u"it's $(touch "_s + canary + u") `x`"_s);
            e.configPath = sandbox.path(u"conf \"dir\"; \\ & |\nnext/config.json"_s);
        });
    const AgentEnvironment& env = sandbox.environment();
    const QString configDir = QFileInfo(env.configPath).path();
    QVERIFY(QDir().mkpath(env.tempDirectory) && QDir().mkpath(configDir));
    const mode_t mask = ::umask(077); // the old file is private; the new one must be 644 all the same
    const QByteArray old = sample(u"old"_s).toJson();
    if (setup != "create"_L1)
        TestSandbox::writeFile(env.configPath, old);
    if (setup == "126"_L1)
        useBackend(sandbox, PrivilegeMethod::Pkexec, setup);
    else if (setup == "links"_L1) // following one would create the canary
        for (const QString& dir : {configDir, env.tempDirectory})
            for (const char* name : {"/tavrel_config_tmp.json", "/.config.json.tmp", "/config.json.tmp"})
                QVERIFY(QFile::link(canary, dir + QLatin1String(name)));
    else if (setup == "staging"_L1)
        QDir(env.tempDirectory).removeRecursively();
    else if (!succeeds)
        writeExecutable(sandbox.path(u"bin/"_s + setup), "#!/bin/sh\nexit 1\n");

    const AgentConfig config = sample(u"new \"Zürich\" "_s);
    const QByteArray reported = stderrOf([&] { AgentConfig::save(config); });
    ::umask(mask);
    QVERIFY2(!succeeds || reported.isEmpty(), reported.constData());
    QCOMPARE(TestSandbox::readFile(env.configPath), succeeds ? config.toJson() : old);
    QCOMPARE(fileMode(env.configPath), int(S_IFREG | (succeeds ? 0644 : 0600)));
    QCOMPARE(entries(configDir), QStringList{u"config.json"_s});
    QCOMPARE(entries(env.tempDirectory), QStringList());
    QVERIFY(!QFile::exists(canary));
}

void TestCore::logAppend_data() {
    QTest::addColumn<PrivilegeMethod>("method");
    QTest::addColumn<QString>("message");
    QStringList messages = hostileTexts();
    messages << u"one\r\ntwo\nthree\rfour\n$(touch CANARY)"_s;
    for (const auto method : {PrivilegeMethod::AppleScript, PrivilegeMethod::Pkexec, PrivilegeMethod::Direct})
        for (const QString& message : messages)
            QTest::addRow("%s: %s", backendName(method), qPrintable(message.simplified()))
                << method << message;
}

// The log gains exactly "[now] [INFO] message" and a line feed, nothing in the message runs, and
// the stand-ins received exactly the command line.
void TestCore::logAppend() {
    QFETCH(PrivilegeMethod, method);
    QFETCH(QString, message);
    TestSandbox sandbox;
    const QString program = useBackend(sandbox, method);
    const QString canary = sandbox.path(u"canary"_s);
    message.replace(u"CANARY"_s, canary);
    sandbox.writeLog("existing\n");
    QVERIFY(Logger::append(message, u"INFO"_s));
    const QString log = QString::fromUtf8(sandbox.logBytes());
    const QRegularExpressionMatch stamp =
        QRegularExpression(u"^existing\\n\\[\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\\] \\[INFO\\] "_s)
            .match(log);
    QVERIFY2(stamp.hasMatch(), qPrintable(log));
    QCOMPARE(log.mid(stamp.capturedLength()), message.replace(u'\r', u' ').replace(u'\n', u' ') + u'\n');
    QVERIFY(!QFile::exists(canary));
    if (method != PrivilegeMethod::Direct)
        QCOMPARE(QString::fromUtf8(TestSandbox::readFile(program + u".last"_s)),
                 Logger::appendCommand(log.mid(9).chopped(1), sandbox.environment().logPath));
}

void TestCore::lastLines_data() {
    QTest::addColumn<QByteArray>("log"); // "<missing>": no file
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("missing file") << QByteArray("<missing>") << 80 << QStringList();
    QTest::newRow("blank lines dropped") << QByteArray("\n\na\n\n\nb\n\n") << 80 << QStringList{"a", "b"};
    QTest::newRow("no final line feed") << QByteArray("a\nb") << 1 << QStringList{"b"};
    QTest::newRow("invalid UTF-8 among the lines") << QByteArray("ok\nbad\xff\nok\n") << 2 << QStringList();
    // Only the lines returned are decoded: bad bytes further up do not blank the pane.
    QTest::newRow("invalid UTF-8 above")
        << QByteArray("bad\xff\nok1\n\nok2\n") << 2 << QStringList{"ok1", "ok2"};
    // A line feed at the first byte of a read block counts like any other.
    QTest::newRow("short lines over many blocks")
        << QByteArray("xx\n").repeated(400000) << 100000 << QStringList(100000, u"xx"_s);
    // Reading from the end in blocks must give what splitting the whole file gives.
    for (quint32 seed = 1; seed <= 3; ++seed) {
        const QByteArray log = randomLog(seed);
        const QStringList all = QString::fromUtf8(log).split(u'\n', Qt::SkipEmptyParts);
        for (const int count : {1, 80, 1000, 1000000})
            QTest::addRow("random log %u, %d lines", seed, count)
                << log << count << all.mid(qMax(0, int(all.size()) - count));
    }
}

void TestCore::lastLines() {
    QFETCH(QByteArray, log);
    QFETCH(int, count);
    QFETCH(QStringList, lines);
    TestSandbox sandbox;
    if (log != "<missing>")
        sandbox.writeLog(log);
    QCOMPARE(Logger::lastLines(count), lines);
}

// Each step changes the file, then tail(offset) must return these lines and this next offset.
void TestCore::tailSequence() {
    struct Step {
        const char* what;
        char change; // Remove, Append or Write
        QByteArray bytes;
        QStringList lines;
        quint64 offset;
    };
    const Step steps[] = {
        {"missing file", 'R', {}, {}, 0},
        {"file appears", 'W', "a\nb\n", {"a", "b"}, 4},
        {"nothing new", 'A', {}, {}, 4},
        {"growth with a blank line", 'A', "c\n\n", {"c"}, 7},
        {"partial last line", 'A', "par", {"par"}, 10},
        {"its rest comes as a line of its own", 'A', "tial\nnext\n", {"tial", "next"}, 20},
        {"invalid UTF-8 chunk", 'A', "bad\xff\xfe\nalso lost\n", {}, 36},
        {"skipped for good", 'A', "ok\n", {"ok"}, 39},
        {"rotation to a shorter file", 'W', "x\ny\n", {"x", "y"}, 4},
        {"rotation to an empty file", 'W', {}, {}, 0},
        {"growth after rotation", 'A', "\xc3\xa9t\xc3\xa9\n", {u"été"_s}, 6},
        {"a character cut in two waits", 'A', "half \xc3", {"half "}, 11},
        {"and comes whole", 'A', "\xa9!\n", {u"é!"_s}, 15},
        {"removed: offset kept", 'R', {}, {}, 15},
        {"back, shorter than the offset", 'W', "z\n", {"z"}, 2},
    };
    TestSandbox sandbox;
    quint64 offset = 0;
    for (const Step& step : steps) {
        if (step.change == 'R')
            QFile::remove(sandbox.environment().logPath);
        else
            step.change == 'W' ? sandbox.writeLog(step.bytes) : sandbox.appendLog(step.bytes);
        const LogChunk chunk = Logger::tail(offset);
        QVERIFY2(chunk.lines == step.lines && chunk.newOffset == step.offset, step.what);
        offset = chunk.newOffset;
    }
}

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
