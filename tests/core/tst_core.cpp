// The core library against real files, real child processes, and stand-ins for osascript and
// pkexec (core/standins) that behave like the real tools.
#include "core/AgentConfig.h"
#include "core/Logger.h"
#include "core/Privileged.h"
#include "core/ProcessSearch.h"
#include "core/ServiceControl.h"
#include "core/SystemInfo.h"
#include "support/TestSandbox.h"

#include <QDir>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTest>

#include <csignal>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(PrivilegeMethod)

namespace {

constexpr auto osascript = PrivilegeMethod::AppleScript, pkexec = PrivilegeMethod::Pkexec,
               helper = PrivilegeMethod::Direct;

// Makes method the root backend: osascript or pkexec as its stand-in, which answers as `answer`
// says ("cancel", "127") and keeps its files in the current folder, made the sandbox's root;
// "missing": a program that does not exist.
void useBackend(TestSandbox& sandbox, PrivilegeMethod method, const QString& answer = {}) {
    QDir::setCurrent(sandbox.root());
    TestSandbox::writeFile(u"answer"_s, answer.toUtf8());
    sandbox.changeEnvironment([&](AgentEnvironment& e) {
        e.privilegeMethod = method;
        e.privilegeProgram = answer == "missing"_L1
                                 ? u"/nonexistent/pkexec"_s
                                 : QStringLiteral(TAVREL_STANDINS_DIR) +
                                       (method == osascript ? u"/osascript"_s : u"/pkexec"_s);
        e.stopServiceCommand = AgentEnvironment::macOS().stopServiceCommand;
    });
}

// Every member holding text.
AgentConfig record(const QString& text) {
    return {text, text, text, text, text, text, text};
}

// Lines of random length and content (multi-byte characters, CR, runs of blank lines, now and
// then one longer than a read block), so that block and character boundaries fall everywhere.
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

class TestCore final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QDir::setCurrent(QDir::tempPath()); }
    void utcOffsets();
    void rootFailures_data();
    void rootFailures();
    void hostileText_data();
    void hostileText();
    void serviceStatus_data();
    void serviceStatus();
    void processSearch();
    void configLoad_data();
    void configLoad();
    void lastLines_data();
    void lastLines();
    void tailSequence();
};

void TestCore::utcOffsets() {
    const std::pair<int, const char*> offsets[] = {
        {0, "+00:00"}, {19800, "+05:30"}, {-12600, "-03:30"}, {-3659, "-01:00"}};
    for (const auto& [seconds, text] : offsets)
        QCOMPARE(SystemInfo::formatUtcOffset(seconds), QString::fromLatin1(text));
}

void TestCore::rootFailures_data() {
    QTest::addColumn<PrivilegeMethod>("method");
    QTest::addColumn<QString>("answer"); // the stand-in's
    QTest::addColumn<QStringList>("request");
    QTest::addColumn<QString>("reason"); // a pattern for the whole of it
    const QStringList config{u"write-config"_s}, stop{u"service"_s, u"stop"_s};
    QTest::newRow("osascript: dismissed") << osascript << u"cancel"_s << config << u"User canceled"_s;
    QTest::newRow("osascript: the launchctl line, as it stands, fails")
        << osascript << QString() << stop << u".*: launchctl: not found"_s;
    QTest::newRow("pkexec: not authorised") << pkexec << u"127"_s << config << u"Not authorized"_s;
    QTest::newRow("pkexec: the helper refuses")
        << pkexec << QString() << QStringList{u"append-log"_s} << u"the input .*"_s;
    QTest::newRow("pkexec: cannot start")
        << pkexec << u"missing"_s << config << u"pkexec could not be started"_s;
    QTest::newRow("helper: the service manager's words")
        << helper << QString() << stop << u"Unit not found"_s;
}

// A failed root operation ends with a reason a person can read and leaves the configuration as it
// was; osascript's administrator shell inherits nothing of ours that changes what it runs.
void TestCore::rootFailures() {
    QFETCH(PrivilegeMethod, method);
    QFETCH(QString, answer);
    QFETCH(QStringList, request);
    QFETCH(QString, reason);
    TestSandbox sandbox;
    useBackend(sandbox, method, answer);
    TestSandbox::writeFile(sandbox.path(u"bin/systemctl"_s),
                           "#!/bin/sh\necho 'Unit not found.' >&2\nexit 5\n");
    QFile::setPermissions(sandbox.path(u"bin/systemctl"_s), QFile::ExeOwner | QFile::ReadOwner);
    sandbox.writeConfig(record(u"old"_s));
    const QStringList before = TestSandbox::snapshot(sandbox.path(u"var"_s));
    const QByteArray path = qgetenv("PATH");
    qputenv("BASH_ENV", sandbox.root().toUtf8());
    qputenv("PATH", sandbox.path(u"bin:"_s).toUtf8() + path);
    const Outcome outcome = runPrivileged({request, record(u"new"_s).toJson()});
    qunsetenv("BASH_ENV");
    qputenv("PATH", path);
    QVERIFY2(
        !outcome &&
            QRegularExpression(QRegularExpression::anchoredPattern(reason)).match(outcome.message).hasMatch(),
        qPrintable(outcome.message));
    QCOMPARE(TestSandbox::snapshot(sandbox.path(u"var"_s)), before);
    if (method == osascript && answer.isEmpty())
        QVERIFY(!TestSandbox::readFile(u"osascript.env"_s).contains(sandbox.root().toUtf8()));
}

void TestCore::hostileText_data() {
    QTest::addColumn<PrivilegeMethod>("method");
    QTest::addColumn<QString>("folder"); // of the configuration and the log, in the sandbox
    const QString agent = u"var/tavrel/agentservice"_s;
    QTest::newRow("osascript") << osascript << agent;
    QTest::newRow("osascript, hostile paths")
        << osascript << u"a \"dir\" it's $(touch CANARY) `x`; \\ & |\nb"_s;
    QTest::newRow("pkexec") << pkexec << agent;
    QTest::newRow("helper") << helper << agent;
}

// Texts a shell, printf, echo, JSON or AppleScript could mangle reach the configuration and the
// log exactly (line breaks in a log line as spaces), and nothing in a text or a path runs. The
// new configuration is mode 644 whatever the umask, nothing else stays beside the files, and
// pkexec runs our helper, never a shell.
void TestCore::hostileText() {
    QFETCH(PrivilegeMethod, method);
    QFETCH(QString, folder);
    TestSandbox sandbox;
    useBackend(sandbox, method);
    const QString canary = sandbox.path(u"canary"_s);
    folder = sandbox.path(folder.replace(u"CANARY"_s, canary));
    QVERIFY(QDir().mkpath(folder));
    sandbox.changeEnvironment([&](AgentEnvironment& e) {
        e.configPath = folder + u"/config.json"_s;
        e.logPath = folder + u"/activity.log"_s;
    });
    const auto restoreMask = qScopeGuard([mask = ::umask(077)] { ::umask(mask); });
    for (QString text : {u"say \"hi\" \\\" C:\\new\\t\\\\end\\"_s,
                         u"$(touch CANARY) `touch CANARY` it's 'a' ''"_s, u"cut\\chere %s %d %n %% %b"_s,
                         u"-n"_s, u"-e \\x41\\0101 $HOME ${PATH} $0 $$ * ? [a] ; && | > < & ! ~ #"_s,
                         u"Zürich – 東京 \U0001F600 \u0001\u007f\u2028 </script> \\u0041"_s,
                         u"  padded\tand tabbed  "_s, u"one\r\ntwo\nthree\rfour"_s, QString()}) {
        text.replace(u"CANARY"_s, canary);
        const QByteArray log = sandbox.logBytes();
        const AgentConfig config = record(text);
        QVERIFY(AgentConfig::save(config) && Logger::append(text, u"INFO"_s));
        QCOMPARE(AgentConfig::load(), config);
        QCOMPARE(sandbox.appendedInfoLines(log), QStringList{text.replace(u'\r', u' ').replace(u'\n', u' ')});
    }
    QVERIFY(!QFile::exists(canary));
    QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({u"activity.log"_s, u"config.json"_s}));
    struct stat info {};
    QVERIFY(::lstat(QFile::encodeName(folder + u"/config.json"_s).constData(), &info) == 0 &&
            info.st_mode == (S_IFREG | 0644));
    if (method == pkexec)
        QCOMPARE(TestSandbox::readFile(u"pkexec.last"_s).split('\n').value(0),
                 sandbox.environment().helperProgram.toUtf8());
}

void TestCore::serviceStatus_data() {
    QTest::addColumn<QString>("agent");   // whose agent process runs: "own", a "neighbour" sandbox's
    QTest::addColumn<bool>("definition"); // the unit file
    QTest::addColumn<QString>("search");  // a shell search instead of /proc (macOS)
    QTest::addColumn<QString>("state");
    QTest::newRow("running without definition") << u"own"_s << false << QString() << ServiceState::Running;
    QTest::newRow("only another sandbox's agent runs")
        << u"neighbour"_s << true << QString() << ServiceState::Stopped;
    QTest::newRow("not installed") << QString() << false << QString() << ServiceState::NotInstalled;
    QTest::newRow("search prints only blanks")
        << QString() << true << u"printf ' \\n\\t\\n'"_s << ServiceState::Stopped;
    QTest::newRow("search fails with output")
        << QString() << true << u"echo 1; exit 1"_s << ServiceState::Stopped;
    QTest::newRow("search finds one") << QString() << false << u"echo 1"_s << ServiceState::Running;
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
    if (!search.isEmpty())
        sandbox.changeEnvironment([&](AgentEnvironment& e) {
            e.processSearchPattern.clear();
            e.processSearchCommand = search;
        });
    QCOMPARE(getAgentServiceStatus(), state);
}

// The production search among real processes, against pgrep -f: a process with the name in an
// argument counts (a viewer of the script too); one with the name split over two arguments and
// a dead one not yet reaped do not.
void TestCore::processSearch() {
    TestSandbox sandbox;
    const QString name = AgentEnvironment::linuxSystemd().processSearchPattern;
    QVERIFY(QFile::link(u"/bin/true"_s, sandbox.path(name)));
    const QString sleeper =
        u"/usr/bin/python3 -c 'import os, time; print(os.getpid(), flush=True); time.sleep(60)' "_s;
    QProcess shell;
    shell.setWorkingDirectory(sandbox.root());
    shell.start(u"/bin/sh"_s,
                {u"-c"_s, u"./%2 & echo $!; %1tavrel_agent .py & exec %1%2"_s.arg(sleeper, name)});
    QList<pid_t> pids; // the dead one, then the other two as they come
    const auto end = qScopeGuard([&] {
        for (const pid_t pid : pids)
            ::kill(pid, SIGKILL);
        shell.waitForFinished();
    });
    while (pids.size() < 3 && shell.waitForReadyRead(10000))
        while (shell.canReadLine())
            pids << shell.readLine().trimmed().toInt();
    const auto dead = [](pid_t pid) {
        const QByteArray stat = TestSandbox::readFile(u"/proc/%1/stat"_s.arg(pid));
        return stat.mid(stat.lastIndexOf(')')).startsWith(") Z");
    };
    QVERIFY(pids.size() == 3);
    QTRY_VERIFY(dead(pids[0]));
    const auto pgrep = [&] {
        QProcess search;
        search.start(u"pgrep"_s, {u"-f"_s, QRegularExpression::escape(name)});
        search.waitForFinished();
        QList<pid_t> found;
        for (const QByteArray& line : search.readAllStandardOutput().split('\n'))
            if (!line.isEmpty())
                found << line.toInt();
        return found;
    };
    // pgrep also counts the dead, by their names. Other processes come and go meanwhile: ours
    // must agree once with two equal answers of pgrep around it.
    bool agreed = false;
    for (int attempt = 0; !agreed && attempt < 20; ++attempt) {
        QList<pid_t> expected = pgrep();
        const QList<pid_t> ours = findProcesses(name.toUtf8());
        agreed = expected == pgrep() && ours.contains(pid_t(shell.processId()));
        expected.removeIf(dead);
        agreed = agreed && ours == expected;
    }
    QVERIFY(agreed);
}

void TestCore::configLoad_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("accepted"); // read as "0" to "6", else the default record
    // The seven members in another order than ours, with other spacing.
    const QByteArray valid = "{\"agentVersion\":\"6\",\"apiBaseUrl\":\"5\",\"locationName\":\"4\",\n\t"
                             "\"clientName\":\"3\",\"clientID\":\"2\",\"token\":\"1\",\"computerID\": \"0\"}";
    QTest::newRow("any order and spacing") << valid << true;
    QTest::newRow("extra members") << QByteArray(valid).replace('}', R"(, "extra": [1, null]})") << true;
    QTest::newRow("invalid JSON") << QByteArray(valid).replace('}', ",}") << false;
    QTest::newRow("trailing garbage") << valid + " x" << false;
    QTest::newRow("array top level") << '[' + valid + ']' << false;
    QTest::newRow("a member missing") << QByteArray(valid).replace("\"token\":\"1\",", "") << false;
    for (const char* raw : {"42", "null", "\"bad\xff\""})
        QTest::addRow("a member is %s", raw) << QByteArray(valid).replace("\"1\"", raw) << false;
}

void TestCore::configLoad() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, accepted);
    TestSandbox sandbox;
    sandbox.writeConfigBytes(bytes);
    QCOMPARE(AgentConfig::load(),
             (accepted ? AgentConfig{"0", "1", "2", "3", "4", "5", "6"} : AgentConfig::defaults()));
}

void TestCore::lastLines_data() {
    QTest::addColumn<QByteArray>("log");
    QTest::addColumn<int>("count");
    QTest::addColumn<QStringList>("lines");
    QTest::newRow("blank lines dropped") << QByteArray("\n\na\n\n\nb\n\nc") << 2 << QStringList{"b", "c"};
    QTest::newRow("invalid UTF-8 among the lines") << QByteArray("ok\nbad\xff\nok\n") << 2 << QStringList();
    // Only the lines returned are decoded: bad bytes further up do not blank the pane.
    QTest::newRow("invalid UTF-8 above")
        << QByteArray("bad\xff\nok1\n\nok2\n") << 2 << QStringList{"ok1", "ok2"};
    // Line feeds at every byte of a read block; more than the read limit.
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
    // Bursts of 64-byte lines, one and three limits long: only the last limit's worth comes back.
    constexpr quint64 limit = Logger::readLimit;
    QByteArray burst;
    QStringList burstLines;
    for (quint64 number = 0; number < 3 * limit / 64; ++number) {
        burstLines << u"burst %1"_s.arg(number, 57, 10, QLatin1Char('0'));
        burst += burstLines.last().toLatin1() + '\n';
    }
    const QStringList lastLimit = burstLines.mid(2 * limit / 64);
    // Odd in length, so the last limit's bytes begin inside a two-byte character.
    const QByteArray longLine = QByteArray("\xc3\xa9").repeated(limit / 2 + 1) + "!!\n";
    const QString cutLine = Logger::cutMark + QString(limit / 2 - 2, u'\u00e9') + u"!!"_s;
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
        {"back, shorter than the offset, without a line feed", 'W', "z", {"z"}, 1},
        {"exactly the limit comes whole", 'A', burst.right(limit), lastLimit, 1 + limit},
        {"a burst far above the limit", 'A', burst, lastLimit, 1 + 4 * limit, 2 * limit},
        {"the next append comes whole", 'A', "after\n", {"after"}, 7 + 4 * limit},
        {"a line longer than the limit is cut, and marked", 'A', longLine, {cutLine}, 12 + 5 * limit, 6},
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
