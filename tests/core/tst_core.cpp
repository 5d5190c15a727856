// The core library against real files, real child processes, and stand-ins for osascript and
// pkexec (core/standins) that behave like the real tools.
#include "core/Logger.h"
#include "core/Privileged.h"
#include "core/ProcessSearch.h"
#include "core/ServiceControl.h"
#include "core/SupportReport.h"
#include "core/SystemInfo.h"
#include "support/TestSandbox.h"

#include <sys/prctl.h>
#include <sys/wait.h>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(PrivilegeMethod)

namespace {

constexpr auto osascript = PrivilegeMethod::AppleScript, pkexec = PrivilegeMethod::Pkexec,
               helper = PrivilegeMethod::Direct;

// Makes method the root backend, through its stand-in, with the macOS shell lines for osascript.
void useBackend(TestSandbox& sandbox, PrivilegeMethod method, const QByteArray& answer = {}) {
    sandbox.useStandin(method, answer);
    sandbox.changeEnvironment(
        [](AgentEnvironment& e) { e.stopServiceCommand = AgentEnvironment::macOS().stopServiceCommand; });
}

// Every member holding text.
AgentConfig record(const QString& text) {
    return {text, text, text, text, text, text, text};
}

// The app's own polkit agent as the runner sees it: registering works or not; while registered the
// pkexec stand-in finds it (the file agent).
struct LentAgent final : OwnAuthenticationAgent {
    bool works = true;
    int acquired = 0, released = 0;
    void acquire(std::function<void(const Outcome&)> done) override {
        ++acquired;
        if (works)
            TestSandbox::writeFile(u"agent"_s, {});
        QTimer::singleShot(
            0, [this, done] { done(works ? Outcome::success() : Outcome::failure(u"no bus"_s)); });
    }
    void release() override { ++released, QFile::remove(u"agent"_s); }
};

} // namespace

class TestCore final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void cleanup() { QDir::setCurrent(QDir::tempPath()); }

    // A failed root operation ends with a reason a person can read and leaves the configuration as it
    // was.
    void rootFailures() {
        // The backend, the stand-in's answer, the request, a pattern for the whole reason, and the app's
        // own polkit agent: 0 none, 1 cannot register, 2 works.
        const std::tuple<PrivilegeMethod, const char*, const char*, const char*, int> failures[] = {
            {osascript, "cancel", "write-config", "User canceled", 0},
            {pkexec, "dismissed", "write-config", "The request was cancelled", 0},
            {pkexec, "noagent", "write-config", "No authentication agent is available, .*", 0},
            {pkexec, "noagent", "write-config", "No authentication agent is available, .*", 1},
            // Lent for the second run, which the helper refuses: the agent goes back all the same.
            {pkexec, "noagent", "append-log", "the input .*", 2},
            {osascript, "", "service stop", ".*: launchctl: not found", 0}, // the line as it stands, unquoted
            {pkexec, "127", "write-config", "Not authorized", 0},
            {pkexec, "", "append-log", "the input .*", 0},    // the helper's refusal, without its name
            {helper, "", "service stop", "exit status 1", 0}, // the service manager's failure
        };
        for (const auto& [method, answer, request, pattern, lent] : failures) {
            TestSandbox sandbox;
            useBackend(sandbox, method, answer);
            LentAgent agent;
            agent.works = lent == 2;
            setOwnAuthenticationAgent(lent ? &agent : nullptr);
            const auto noAgent = qScopeGuard([] { setOwnAuthenticationAgent(nullptr); });
            QVERIFY(QFile::link(u"/bin/false"_s, sandbox.path(u"bin/systemctl"_s)));
            sandbox.writeConfig(record(u"old"_s));
            const QStringList before = TestSandbox::snapshot(sandbox.path(u"var"_s));
            const Outcome outcome =
                await<RootResult>([&](auto done) {
                    runPrivileged({QString::fromLatin1(request).split(u' '), record(u"new"_s).toJson()},
                                  nullptr, done);
                }).outcome;
            const QRegularExpression reason(QRegularExpression::anchoredPattern(QLatin1String(pattern)));
            QVERIFY2(!outcome && reason.match(outcome.message).hasMatch(), qPrintable(outcome.message));
            QCOMPARE(TestSandbox::snapshot(sandbox.path(u"var"_s)), before);
            // Tried again only with an agent lent, which is given back.
            if (method == pkexec)
                QCOMPARE(std::tuple(TestSandbox::pkexecRuns(), agent.acquired, agent.released),
                         std::tuple(lent == 2 ? 2 : 1, lent ? 1 : 0, lent == 2 ? 1 : 0));
        }
        // A configuration stored with its log line, where the line cannot be written: the record is
        // stored all the same, and the failure says it was the line.
        for (const PrivilegeMethod method : {osascript, helper}) {
            TestSandbox sandbox;
            useBackend(sandbox, method);
            QVERIFY(QDir().mkpath(sandbox.environment().logPath)); // a folder where the log should be
            const StoreOutcome stored = await<StoreOutcome>(
                [](auto done) { AgentConfig::save(record(u"new"_s), u"registered"_s, nullptr, done); });
            QVERIFY2(stored.stored && !stored.logged, qPrintable(stored.logged.message));
            QCOMPARE(AgentConfig::load(), record(u"new"_s));
        }
        // What the helper would refuse fails with its reason before any prompt: pkexec never starts.
        {
            TestSandbox sandbox;
            useBackend(sandbox, pkexec);
            const QString lone(QChar(0xD800));
            QVERIFY(!await<Outcome>([&](auto done) { AgentConfig::save(record(lone), nullptr, done); }));
            const Outcome lower =
                await<Outcome>([](auto done) { Logger::append(u"x"_s, u"info"_s, nullptr, done); });
            QVERIFY(lower.message.endsWith(u"of the form [TIME] [LEVEL] message"_s));
            QVERIFY(!QFile::exists(u"pkexec.last"_s) && !QFile::exists(u"pkexec.runs"_s));
        }
    }

    void hostileText_data() {
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
    // log exactly (line breaks and controls in a log line as spaces), and nothing in a text or a path runs.
    // The new configuration is mode 644 whatever the umask, nothing else stays beside the files, and pkexec
    // runs our helper, never a shell.
    void hostileText() {
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
        // In a log line these become spaces; the configuration keeps them.
        static const QRegularExpression lineBreaking(u"[\r\n\u0001\u007f\u2028]"_s);
        for (QString text :
             {u"say \"hi\" \\\" C:\\new\\t\\\\end\\"_s, u"$(touch CANARY) `touch CANARY` it's 'a' ''"_s,
              u"cut\\chere %s %d %n %% %b"_s, u"-n"_s,
              u"-e \\x41\\0101 $HOME ${PATH} $0 $$ * ? [a] ; && | > < & ! ~ #"_s,
              u"Zürich – 東京 \U0001F600 \u0001\u007f\u2028 </script> \\u0041"_s, u"\uFEFFled by U+FEFF"_s,
              u"  padded\tand tabbed  "_s, u"one\r\ntwo\nthree\rfour"_s, QString()}) {
            text.replace(u"CANARY"_s, canary);
            const QByteArray log = sandbox.logBytes();
            // Stored with its log line in one run, as the flows store a registration.
            const StoreOutcome stored =
                await<StoreOutcome>([&](auto done) { AgentConfig::save(record(text), text, nullptr, done); });
            QVERIFY2(stored.stored && stored.logged,
                     qPrintable(text + stored.stored.message + stored.logged.message));
            QCOMPARE(AgentConfig::load(), record(text));
            QCOMPARE(sandbox.appendedInfoLines(log), QStringList{text.replace(lineBreaking, u" "_s)});
        }
        QVERIFY(!QFile::exists(canary));
        QCOMPARE(QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 QStringList({u"activity.log"_s, u"config.json"_s}));
        struct stat info {};
        QVERIFY(::lstat(QFile::encodeName(folder + u"/config.json"_s).constData(), &info) == 0 &&
                info.st_mode == (S_IFREG | 0644));
        // The helper makes a missing log readable for the agent's readers too (a shell appending as
        // root, on macOS, takes root's umask).
        QVERIFY(method == osascript ||
                (::lstat(QFile::encodeName(folder + u"/activity.log"_s).constData(), &info) == 0 &&
                 info.st_mode == (S_IFREG | 0644)));
        if (method == pkexec)
            QCOMPARE(TestSandbox::readFile(u"pkexec.last"_s).split('\n').value(0),
                     sandbox.environment().helperProgram.toUtf8());
        // osascript's administrator shell inherits nothing of ours that could change what it runs
        // (Python, the stand-in's language, adds LC_CTYPE itself).
        const QString seen = u'\n' + QString::fromUtf8(TestSandbox::readFile(u"osascript.env"_s));
        for (const QString& name : QProcessEnvironment::systemEnvironment().keys())
            QVERIFY2(!seen.contains(u'\n' + name + u'=') || name == "PATH"_L1 || name == "LC_CTYPE"_L1,
                     qPrintable(name));
        QVERIFY(!seen.contains(u"\nPATH="_s + qEnvironmentVariable("PATH") + u'\n'));
    }

    // The state from the search and the unit file. The macOS search: any process number the shell
    // prints means the agent runs. Otherwise the unit decides, in any of systemd's unit folders (here
    // under the sandbox): a file or a link to one, or masked (a link to /dev/null), is "Stopped".
    void serviceState() {
        const char* const nothingFound = "exit 1";
        // The search, the unit's folder (or none), what the unit is ('f'ile, 'l'ink to a file elsewhere,
        // 'm'asked, 'd'angling link, 'F'older) and the state.
        const std::tuple<const char*, const char*, char, const char*> rows[] = {
            {"printf ' \n\t\n'", "/etc/systemd/system", 'f', ServiceState::Stopped}, // only blanks
            {"echo 1; exit 1", "/etc/systemd/system", 'f', ServiceState::Stopped},   // a failed search
            {"echo 1", nullptr, 0, ServiceState::Running},
            {nothingFound, "/usr/lib/systemd/system", 'f', ServiceState::Stopped}, // a package's
            {nothingFound, "/lib/systemd/system", 'l', ServiceState::Stopped},
            {nothingFound, "/usr/local/lib/systemd/system", 'f', ServiceState::Stopped},
            {nothingFound, "/run/systemd/system", 'm', ServiceState::Stopped},
            {nothingFound, "/usr/lib/systemd/system", 'd', ServiceState::NotInstalled},
            {nothingFound, "/etc/systemd/system", 'F', ServiceState::NotInstalled},
            {nothingFound, nullptr, 0, ServiceState::NotInstalled},
        };
        for (const auto& [search, folder, unit, state] : rows) {
            TestSandbox sandbox;
            const AgentEnvironment systemd = AgentEnvironment::linuxSystemd();
            sandbox.changeEnvironment([&, search = search](AgentEnvironment& e) {
                e.processSearchPattern.clear();
                e.processSearchCommand = QString::fromLatin1(search);
                e.serviceDefinitionFolders.clear();
                for (const QString& unitFolder : systemd.serviceDefinitionFolders)
                    e.serviceDefinitionFolders << sandbox.path(unitFolder.mid(1));
            });
            if (folder) {
                const QString file = sandbox.path(QLatin1String(folder).mid(1)) + u'/' + systemd.serviceUnit;
                const QString elsewhere = sandbox.path(u"unit"_s);
                QVERIFY(QDir().mkpath(unit == 'F' ? file : QFileInfo(file).path()));
                if (unit == 'f' || unit == 'l')
                    TestSandbox::writeFile(unit == 'f' ? file : elsewhere, "[Service]\n");
                if (unit == 'l' || unit == 'd' || unit == 'm')
                    QVERIFY(QFile::link(unit == 'm' ? u"/dev/null"_s : elsewhere, file));
            }
            QVERIFY2(getAgentServiceStatus() == QLatin1String(state), folder ? folder : search);
        }
    }

    // The production search among real processes: the agent counts by an argument, as with pgrep -f; a
    // dead agent not yet reaped (which pgrep counts by its name) and a process with the name split over
    // two arguments do not.
    void processSearch() {
        TestSandbox sandbox;
        QVERIFY(sandbox.startAgentProcess());
        const QByteArray name = AgentEnvironment::linuxSystemd().processSearchPattern.toUtf8();
        // A child of ours named like the agent that ends at once and stays unreaped until the end of
        // the test: waitid with WNOWAIT returns once it is a zombie and leaves it one.
        const pid_t zombie = fork();
        if (zombie == 0)
            prctl(PR_SET_NAME, name.constData()), _exit(0);
        QVERIFY(zombie > 0);
        const auto reap = qScopeGuard([zombie] { waitpid(zombie, nullptr, 0); });
        siginfo_t info{};
        QCOMPARE(waitid(P_PID, id_t(zombie), &info, WEXITED | WNOWAIT), 0);
        QVERIFY(
            TestSandbox::readFile(u"/proc/%1/stat"_s.arg(zombie)).contains(QByteArray("(" + name + ") Z ")));
        QProcess split;
        split.start(u"/usr/bin/python3"_s,
                    {u"-c"_s, u"import sys; sys.stdin.read()"_s, u"tavrel_agent"_s, u".py"_s});
        QVERIFY(split.waitForStarted());
        QTRY_VERIFY(TestSandbox::readFile(u"/proc/%1/cmdline"_s.arg(split.processId())).contains(".py"));
        const QList<pid_t> found = findProcesses(name);
        QVERIFY(found.contains(pid_t(sandbox.agentPid())) && !found.contains(zombie) &&
                !found.contains(pid_t(split.processId())));
        // Never this process itself, whatever its command line holds.
        QVERIFY(!findProcesses(QCoreApplication::arguments().constFirst().toUtf8()).contains(::getpid()));
        split.closeWriteChannel();
        QVERIFY(split.waitForFinished());
    }

    // Read as "0" to "6", or else as no registration at all.
    void configLoad() {
        // The seven members in another order than ours, with other spacing.
        const QByteArray valid =
            "{\"agentVersion\":\"6\",\"apiBaseUrl\":\"5\",\"locationName\":\"4\",\n\t"
            "\"clientName\":\"3\",\"clientID\":\"2\",\"token\":\"1\",\"computerID\": \"0\"}";
        const std::pair<QByteArray, bool> rows[] = {
            {valid, true},
            {QByteArray(valid).replace('}', R"(, "extra": [1, null]})"), true},
            {valid + " x", false},                          // trailing garbage
            {valid + QByteArray("\0 not JSON", 10), false}, // a NUL, then garbage
            {'[' + valid + ']', false},
            {QByteArray(valid).replace("\"token\":\"1\",", ""), false}, // a member missing
            {QByteArray(valid).replace("\"1\"", "42"), false},
            {QByteArray(valid).replace("\"1\"", "\"bad\xff\""), false},
        };
        for (const auto& [bytes, accepted] : rows) {
            TestSandbox sandbox;
            sandbox.writeConfigBytes(bytes);
            const AgentConfig loaded = AgentConfig::load(), expected = {"0", "1", "2", "3", "4", "5", "6"};
            QVERIFY2(accepted ? loaded == expected : !loaded.isRegistered() && loaded.computerID.isEmpty(),
                     bytes.constData());
        }
    }

    // The 3-second look reads the file only when it may have changed, and never misses a change:
    // one in place that keeps the size and puts the modification time back is told by its ctime.
    void configReread() {
        TestSandbox sandbox;
        ConfigReader reader;
        const QDateTime anHourAgo = QDateTime::currentDateTime().addSecs(-3600);
        for (const char* id : {"a", "b"}) {
            sandbox.writeConfig(AgentConfig{id, "t", "c", "n", "l", "u", "v"});
            QFile file(sandbox.environment().configPath);
            QVERIFY(file.open(QIODevice::ReadWrite) &&
                    file.setFileTime(anHourAgo, QFileDevice::FileModificationTime));
            if (*id == 'a')
                QTest::qSleep(1100); // a stamp is trusted once it is more than a second old
            for (int look = 0; look < 2; ++look)
                QCOMPARE(reader.load().computerID, QString::fromLatin1(id));
        }
        QVERIFY(QFile::remove(sandbox.environment().configPath));
        QVERIFY(reader.load().computerID.isEmpty());
    }

    // The offset the server is told, as hours and minutes with their sign.
    void utcOffset() {
        const std::pair<int, const char*> rows[] = {
            {19800, "+05:30"}, {-12600, "-03:30"}, {20700, "+05:45"}, {-36000, "-10:00"}, {0, "+00:00"}};
        for (const auto& [seconds, text] : rows)
            QCOMPARE(SystemInfo::formatUtcOffset(seconds), QLatin1String(text));
    }

    // The last lines, read from the end in blocks; only the lines returned are decoded, so bad bytes
    // further up do not blank the pane.
    void lastLines() {
        const QByteArray longLine(100000, 'y'); // longer than a read block
        const QByteArray withBlanks = "first\n" + longLine + "\n\n\r\n\nlast";
        const QStringList four{u"first"_s, QString::fromLatin1(longLine), u"\r"_s, u"last"_s};
        // The log, how many lines are asked for, and what comes back.
        const std::tuple<QByteArray, int, QStringList> rows[] = {
            {"bad\xff\nok1\n\nok2\n", 2, {"ok1", "ok2"}},
            // Line feeds at every byte of a read block; more than the read limit.
            {QByteArray("xx\n").repeated(400000), 100000, QStringList(100000, u"xx"_s)},
            {withBlanks, 2, four.mid(2)},
            {withBlanks, 3, four.mid(1)},
            {withBlanks, 5, four},
        };
        for (const auto& [log, count, lines] : rows) {
            TestSandbox sandbox;
            sandbox.writeLog(log);
            QCOMPARE(Logger::lastLines(count), lines);
        }
    }

    // Each step changes the file, then tail(offset) must return these lines and this next offset.
    void tailSequence() {
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
        // What, how the file changes (Remove, Append, Write), the lines and the offset that come back,
        // and the bytes skipped.
        const std::tuple<const char*, char, QByteArray, QStringList, quint64, quint64> steps[] = {
            {"missing file", 'R', {}, {}, 0, 0},
            {"file appears", 'W', "a\nb\n", {"a", "b"}, 4, 0},
            {"partial last line", 'A', "par", {"par"}, 7, 0},
            {"its rest comes as a line of its own", 'A', "tial\nnext\n", {"tial", "next"}, 17, 0},
            {"invalid UTF-8 chunk", 'A', "bad\xff\xfe\nalso lost\n", {}, 33, 0},
            {"rotation to a shorter file", 'W', "x\ny\n", {"x", "y"}, 4, 0},
            {"a character cut in two waits", 'A', "half \xc3", {"half "}, 9, 0},
            {"and comes whole", 'A', "\xa9!\n", {u"é!"_s}, 13, 0},
            {"removed: offset kept", 'R', {}, {}, 13, 0},
            {"back, shorter than the offset, without a line feed", 'W', "z", {"z"}, 1, 0},
            {"exactly the limit comes whole", 'A', burst.right(limit), lastLimit, 1 + limit, 0},
            {"a burst far above the limit", 'A', burst, lastLimit, 1 + 4 * limit, 2 * limit},
            {"the next append comes whole", 'A', "after\n", {"after"}, 7 + 4 * limit, 0},
            {"a line longer than the limit is cut, and marked", 'A', longLine, {cutLine}, 12 + 5 * limit, 6},
        };
        TestSandbox sandbox;
        quint64 offset = 0;
        for (const auto& [what, change, bytes, lines, newOffset, skipped] : steps) {
            if (change == 'R')
                QFile::remove(sandbox.environment().logPath);
            else
                change == 'W' ? sandbox.writeLog(bytes) : sandbox.appendLog(bytes);
            const LogChunk chunk = Logger::tail(offset);
            QVERIFY2(chunk.lines == lines && chunk.newOffset == newOffset && chunk.skippedBytes == skipped,
                     what);
            offset = chunk.newOffset;
        }
    }

    // A report from a sandbox: each section holds the sandbox's values, and no secret is left in any
    // form, wherever it was planted.
    void supportReport() {
        TestSandbox sandbox;
        const QString token = u"Tk-9f3a7c5e2b"_s, password = u"pa55/w\u00f6rd@x"_s;
        sandbox.writeConfig({u"C-4711"_s, token, {}, u"Acme"_s, {}, u"https://rmm.example/api"_s, {}});
        QVERIFY(QFile::setPermissions(sandbox.environment().configPath,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
        sandbox.setServiceDefinition(true);
        sandbox.writeLog("[2026-12-06T09:00:00Z] [INFO] started with " + token.toUtf8() +
                         "\n[2026-12-06T09:00:01Z] [DEBUG] header Bearer:" + token.toLower().toUtf8() +
                         "=;login=" + QUrl::toPercentEncoding(password) + "\n");
        // The service manager is found on the sandbox's PATH and asked without root.
        const QString systemctl = sandbox.path(u"bin/systemctl"_s);
        TestSandbox::writeFile(
            systemctl, "#!/bin/sh\n[ \"$1\" = show ] || exit 1\n"
                       "printf 'ActiveState=failed\\nMainPID=0\\nNRestarts=3\\nExecMainStatus=2\\n'\n");
        QVERIFY(QFile::setPermissions(systemctl, QFile::ReadOwner | QFile::ExeOwner));
        RunRecord::rememberSecret(password);
        // A root operation that fails with the token in its reason, recorded where operations end.
        sandbox.recordPrivilegedCommands(false, u"denied for "_s + token);
        (void)await<RootResult>(
            [](auto done) { runPrivileged(serviceRequest(ServiceCommand::Start), nullptr, done); });
        QProcessEnvironment environment;
        environment.insert(u"PATH"_s, u"/usr/bin:/bin"_s);
        environment.insert(u"XDG_SESSION_TYPE"_s, u"wayland"_s);
        environment.insert(u"https_proxy"_s, u"http://tech:"_s + token + u"@proxy.example:3128"_s);
        environment.insert(u"no_proxy"_s, u"localhost"_s);

        const SupportReport::AppFacts app{u"6.4.2"_s, u"offscreen"_s, u"XEmbed"_s, u"no"_s, u"Stopped"_s};
        const QString report = SupportReport::redact(
            SupportReport::build(SupportReport::gather(app, environment)), SupportReport::secrets());
        // Each section (after a blank line) holds the sandbox's values.
        QHash<QString, QString> section;
        for (const QString& part : report.split(u"\n\n"_s))
            section[part.section(u'\n', 0, 0)] = part;
        const std::pair<const char*, QStringList> sections[] = {
            {"The app", {u"offscreen"_s, u"wayland"_s, u"XEmbed"_s}},
            {"The host", {QSysInfo::kernelVersion()}},
            {"The agent service",
             {u"Stopped"_s, sandbox.environment().serviceDefinitionPaths().value(0), u"ActiveState: failed"_s,
              u"NRestarts: 3"_s, u"ExecMainStatus: 2"_s}},
            {"The configuration",
             {u"mode 0640"_s, u"Loads strictly: yes"_s, u"computerID: C-4711"_s,
              u"token: (set, 13 characters)"_s, u"clientName: Acme"_s, u"https://rmm.example/api"_s}},
            {"The network", {u"https_proxy=http://proxy.example:3128 "_s, u"no_proxy=localhost"_s}},
            {"The app's recent events", {u"service start  failed: denied for [redacted]"_s}},
            {"The activity log",
             {u"Size: %1 bytes"_s.arg(sandbox.logBytes().size()), u"started with [redacted]"_s,
              u"[DEBUG] header Bearer:[redacted]=;login=[redacted]"_s}},
        };
        for (const auto& [title, values] : sections)
            for (const QString& value : values)
                QVERIFY2(section.value(QLatin1String(title)).contains(value),
                         qPrintable(title + u": "_s + value));
        for (const QString& secret : {token, password})
            for (const QString& form :
                 {secret, QString::fromLatin1(QUrl::toPercentEncoding(secret)), secret.mid(1, 8)})
                QVERIFY2(!report.contains(form, Qt::CaseInsensitive), qPrintable(form));
        // A proxy's user name goes with its password; JSON's escapes, a secret within a secret and
        // terminal controls are taken out too.
        QCOMPARE(SupportReport::withoutCredentials(u"user@proxy:8080"_s),
                 u"proxy:8080 (user name and password removed)"_s);
        QCOMPARE(SupportReport::redact(u"a\\/b\"\u001b[2J abcd x\\u00e9"_s,
                                       {u"a/b"_s, u"bc"_s, u"abcd"_s, u"x\u00e9"_s}),
                 u"[redacted]\"\ufffd[2J [redacted] [redacted]"_s);
        // The recent events are the newest 50, oldest first.
        EventRing ring;
        for (int i = 0; i < 120; ++i)
            ring.record({QDateTime::currentDateTimeUtc(), QString::number(i), true, {}});
        const QList<RecentEvent> events = ring.events();
        QCOMPARE(events.size(), 50);
        for (qsizetype k = 0; k < events.size(); ++k)
            QCOMPARE(events[k].operation, QString::number(70 + k));
    }
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
