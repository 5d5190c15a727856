// The core library against real files, real child processes, and stand-ins for osascript and
// pkexec (core/standins) that behave like the real tools.
#include "core/AgentConfig.h"
#include "core/Logger.h"
#include "core/Privileged.h"
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
                                                  : "helper";
}

// Makes method the root backend: osascript or pkexec as a copy of its stand-in answering `answer`
// ("cancel", "126", "127"), or the helper run directly. "missing" names a program that does not
// exist. Returns the program the backend starts.
QString useBackend(TestSandbox& sandbox, PrivilegeMethod method, const QString& answer = {}) {
    QDir(sandbox.root()).mkpath(u"standins"_s);
    const QString name = QString::fromLatin1(backendName(method));
    QString program = method == PrivilegeMethod::Direct ? sandbox.environment().helperProgram
                                                        : sandbox.path(u"standins/"_s + name);
    if (answer == "missing"_L1)
        program = sandbox.path(u"standins/missing"_s);
    else if (method != PrivilegeMethod::Direct)
        writeExecutable(program, TestSandbox::readFile(QStringLiteral(TAVREL_STANDINS_DIR "/") + name));
    TestSandbox::writeFile(sandbox.path(u"standins/"_s + name + u".answer"_s), answer.toUtf8() + '\n');
    sandbox.changeEnvironment([&](AgentEnvironment& e) {
        e.privilegeMethod = method;
        if (method != PrivilegeMethod::Direct)
            e.privilegeProgram = program;
        else if (answer == "missing"_L1)
            e.helperProgram = program;
        const AgentEnvironment mac = AgentEnvironment::macOS();
        e.stopServiceCommand = mac.stopServiceCommand;
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
// Within the read limit, so that any count of lines can come back.
QByteArray randomLog(quint32 seed) {
    QRandomGenerator random(seed);
    const char* const pieces[] = {"a", " ", "\r", "\xc3\xa9", "\xe6\x9d\xb1", "\xf0\x9f\x98\x80"};
    QByteArray log;
    while (log.size() < 400000) {
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
    void privilegedOutcomes_data();
    void privilegedOutcomes();
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

void TestCore::privilegedOutcomes_data() {
    QTest::addColumn<PrivilegeMethod>("method");
    QTest::addColumn<QString>("answer"); // the stand-in's; "missing": no such program
    QTest::addColumn<QStringList>("request");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("message"); // the outcome's reason; empty: success
    const auto osascript = PrivilegeMethod::AppleScript;
    const auto pkexec = PrivilegeMethod::Pkexec;
    const auto helper = PrivilegeMethod::Direct;
    const QStringList appendLog{u"append-log"_s}, stop{u"service"_s, u"stop"_s};
    const QByteArray line = "[2025-03-07T14:05:09Z] [INFO] hello\n";
    QTest::newRow("osascript: success") << osascript << QString() << appendLog << line << QString();
    QTest::newRow("osascript: dismissed")
        << osascript << u"cancel"_s << appendLog << line << u"User canceled"_s;
    QTest::newRow("osascript: the launchctl line fails")
        << osascript << QString() << stop << QByteArray() << u"launchctl: not found"_s;
    QTest::newRow("osascript: cannot start")
        << osascript << u"missing"_s << appendLog << line << u"missing could not be started"_s;
    QTest::newRow("pkexec: success") << pkexec << QString() << appendLog << line << QString();
    QTest::newRow("pkexec: dismissed") << pkexec << u"126"_s << appendLog << line << u"Request dismissed"_s;
    QTest::newRow("pkexec: not authorised") << pkexec << u"127"_s << appendLog << line << u"Not authorized"_s;
    QTest::newRow("pkexec: the helper refuses") << pkexec << QString() << appendLog << QByteArray("hello\n")
                                                << u"the line is not of the form [TIME] [LEVEL] message"_s;
    QTest::newRow("pkexec: cannot start")
        << pkexec << u"missing"_s << appendLog << line << u"missing could not be started"_s;
    QTest::newRow("helper: the service manager's own words")
        << helper << QString() << stop << QByteArray() << u"Unit not found"_s;
    QTest::newRow("helper: missing") << helper << u"missing"_s << stop << QByteArray()
                                     << u"missing could not be started"_s;
}

// Each backend ends with the reason a person can read, reports a failure in one line on standard
// error, and osascript's administrator shell inherits nothing that changes what it runs.
void TestCore::privilegedOutcomes() {
    QFETCH(PrivilegeMethod, method);
    QFETCH(QString, answer);
    QFETCH(QStringList, request);
    QFETCH(QByteArray, input);
    QFETCH(QString, message);
    TestSandbox sandbox;
    const QString program = useBackend(sandbox, method, answer);
    writeExecutable(sandbox.path(u"bin/systemctl"_s), "#!/bin/sh\necho 'Unit not found.' >&2\nexit 5\n");
    const QByteArray path = qgetenv("PATH");
    qputenv("BASH_ENV", sandbox.path(u"bash_env"_s).toUtf8());
    qputenv("PATH", sandbox.path(u"bin"_s).toUtf8() + ':' + path);
    Outcome outcome;
    const QString reported = QString::fromUtf8(stderrOf([&] { outcome = runPrivileged({request, input}); }));
    qunsetenv("BASH_ENV");
    qputenv("PATH", path);
    QVERIFY2(message.isEmpty() ? outcome.message.isEmpty() : outcome.message.endsWith(message),
             qPrintable(outcome.message));
    QCOMPARE(outcome.succeeded, message.isEmpty());
    QCOMPARE(reported, message.isEmpty() ? QString()
                                         : u"[runPrivileged] osascript error: "_s + outcome.message + u'\n');
    if (method == PrivilegeMethod::AppleScript && answer.isEmpty()) {
        const QByteArray seen = TestSandbox::readFile(program + u".env"_s);
        QVERIFY(seen.contains("PATH=/usr/bin:/bin") && !seen.contains("BASH_ENV") && !seen.contains(path));
    }
    if (method == PrivilegeMethod::AppleScript && request.size() == 2) // the launchctl line as it stands
        QCOMPARE(TestSandbox::readFile(program + u".last"_s),
                 AgentEnvironment::macOS().stopServiceCommand.toUtf8());
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
        // Links, not fresh copies: a file just written can still be busy for exec.
        QVERIFY(QFile::link(u"/bin/true"_s, sandbox.path(u"bin/tavrel_agent.py"_s)));
        QDir(sandbox.root()).mkpath(u"tavrel_agent.py.d"_s);
        QVERIFY(QFile::link(u"/bin/cat"_s, sandbox.path(u"tavrel_agent.py.d/cat"_s)));
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
        QVERIFY(AgentConfig::save(config));
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
    QTest::addColumn<PrivilegeMethod>("method");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("message"); // empty: the new file is in place
    const auto helper = PrivilegeMethod::Direct;
    const auto osascript = PrivilegeMethod::AppleScript;
    QTest::newRow("helper: replaces a private file") << helper << QString() << QString();
    QTest::newRow("helper: creates the file") << helper << u"create"_s << QString();
    QTest::newRow("helper: a link planted at config.json")
        << helper << u"link"_s << u"config.json is a symbolic link"_s;
    QTest::newRow("pkexec: the administrator refuses")
        << PrivilegeMethod::Pkexec << u"126"_s << u"Request dismissed"_s;
    QTest::newRow("osascript: replaces a private file") << osascript << QString() << QString();
    QTest::newRow("osascript: hostile configuration path") << osascript << u"hostile"_s << QString();
    QTest::newRow("osascript: the administrator refuses") << osascript << u"cancel"_s << u"User canceled"_s;
}

// The install replaces config.json with exactly the new bytes and mode 644, or leaves the old
// file as it was; either way no other file remains beside it, nothing of the user's is read by
// root, no link is followed and nothing in a path or the content runs.
void TestCore::configSave() {
    QFETCH(PrivilegeMethod, method);
    QFETCH(QString, setup);
    QFETCH(QString, message);
    TestSandbox sandbox;
    const QString canary = sandbox.path(u"canary"_s);
    useBackend(sandbox, method, setup == "126"_L1 || setup == "cancel"_L1 ? setup : QString());
    if (setup == "hostile"_L1)
        sandbox.changeEnvironment([&](AgentEnvironment& e) {
            e.configPath =
                sandbox.path(u"conf \"dir\" it's $(touch "_s + canary + u") `x`; \\ & |\nnext/config.json"_s);
        });
    const AgentEnvironment& env = sandbox.environment();
    const QString configDir = QFileInfo(env.configPath).path();
    QVERIFY(QDir().mkpath(configDir));
    const mode_t mask = ::umask(077); // the old file is private; the new one must be 644 all the same
    const QByteArray old = sample(u"old"_s).toJson();
    if (setup == "link"_L1)
        QVERIFY(QFile::link(canary, env.configPath)); // following it would create the canary
    else if (setup != "create"_L1)
        TestSandbox::writeFile(env.configPath, old);

    const AgentConfig config = sample(u"new \"Zürich\" '$(touch "_s + canary + u")' %s\\n"_s);
    Outcome outcome;
    const QByteArray reported = stderrOf([&] { outcome = AgentConfig::save(config); });
    ::umask(mask);
    QVERIFY2(outcome.message.endsWith(message) && outcome.succeeded == message.isEmpty(),
             reported.constData());
    QVERIFY(!QFile::exists(canary));
    QCOMPARE(entries(configDir), setup == "link"_L1 ? QStringList() : QStringList{u"config.json"_s});
    if (setup == "link"_L1)
        return;
    QCOMPARE(TestSandbox::readFile(env.configPath), message.isEmpty() ? config.toJson() : old);
    QCOMPARE(fileMode(env.configPath), int(S_IFREG | (message.isEmpty() ? 0644 : 0600)));
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

// The log gains exactly "[now] [INFO] message" and a line feed, and nothing in the message runs.
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
    // pkexec runs our helper, never a shell.
    if (method == PrivilegeMethod::Pkexec)
        QCOMPARE(TestSandbox::readFile(program + u".last"_s).split('\n').value(0),
                 sandbox.environment().helperProgram.toUtf8());
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
        quint64 skipped = 0;
    };
    // A burst of three limits of 64-byte lines: the last limit's worth of lines comes back.
    constexpr quint64 limit = Logger::readLimit;
    QByteArray burst;
    QStringList burstLines;
    for (quint64 number = 0; number < 3 * limit / 64; ++number) {
        burstLines << u"burst %1"_s.arg(number, 57, 10, QLatin1Char('0'));
        burst += burstLines.last().toLatin1() + '\n';
    }
    // Odd in length, so the last limit's bytes begin inside a two-byte character.
    const QByteArray longLine = QByteArray("\xc3\xa9").repeated(limit / 2 + 1) + "!!\n";
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
        {"a burst far above the limit", 'A', burst, burstLines.mid(2 * limit / 64), 2 + 3 * limit, 2 * limit},
        {"the next append comes whole", 'A', "after\n", {"after"}, 8 + 3 * limit},
        {"a line longer than the limit is cut, and marked",
         'A',
         longLine,
         {Logger::cutMark + QString(limit / 2 - 2, u'\u00e9') + u"!!"_s},
         8 + 4 * limit + 5,
         6},
    };
    TestSandbox sandbox;
    quint64 offset = 0;
    for (const Step& step : steps) {
        if (step.change == 'R')
            QFile::remove(sandbox.environment().logPath);
        else
            step.change == 'W' ? sandbox.writeLog(step.bytes) : sandbox.appendLog(step.bytes);
        const LogChunk chunk = Logger::tail(offset);
        QVERIFY2(chunk.lines == step.lines && chunk.newOffset == step.offset &&
                     chunk.skippedBytes == step.skipped,
                 step.what);
        offset = chunk.newOffset;
    }
}

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
