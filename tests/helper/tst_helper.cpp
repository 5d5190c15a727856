// tavrel-agent-helper on its own, as a child process with --root: what it refuses, and what a kill
// at any moment leaves behind. What it writes is checked through the core's backends (tst_core).
#include "support/TestSandbox.h"

#include <csignal>

using namespace Qt::StringLiterals;

namespace {

// The helper on the sandbox, with all of its standard input there the moment it starts.
std::unique_ptr<QProcess>
startHelper(const TestSandbox& sandbox, const QString& arguments, const QByteArray& input,
            const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    TestSandbox::writeFile(sandbox.path(u"input"_s), input);
    auto helper = std::make_unique<QProcess>();
    helper->setStandardInputFile(sandbox.path(u"input"_s));
    helper->setProcessEnvironment(env);
    helper->start(QStringLiteral(TAVREL_HELPER),
                  QStringList{u"--root"_s, sandbox.root()} + arguments.split(u' ', Qt::SkipEmptyParts));
    return helper;
}

// A configuration of exactly the seven members, with this token, and then more.
QByteArray configuration(const char* token, const char* more = "") {
    return R"({"computerID":"0","token":")" + QByteArray(token) +
           R"(","clientID":"2","clientName":"3","locationName":"4","apiBaseUrl":"5","agentVersion":"6")" +
           more + '}';
}

} // namespace

class TestHelper final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // Every refusal is one line on standard error and a non-zero status, and changes nothing: the
    // files, the folder and whatever a planted link points at stay as they were.
    void refusals() {
        const QByteArray config = configuration("1"), line = "[2025-03-07T14:05:09Z] [INFO] 'x' $(id)";
        // What, the arguments after --root ROOT, the input, what is planted (a "link" or a "fifo" at the
        // file, a "folder link", or "pkexec" started us) and what the message says.
        const std::tuple<const char*, const char*, QByteArray, const char*, const char*> refusals[] = {
            {"service enable", "service enable", {}, "", "exactly one of start"},
            {"service with a second unit", "service stop ssh", {}, "", "exactly one of start"},
            {"a path for append-log", "append-log /etc/shadow", line, "", "takes no arguments"},
            {"--root under pkexec", "write-config", config, "pkexec", "pkexec"},
            {"config over 64 KiB", "write-config", config + QByteArray(65536, ' '), "", "larger than 64 KiB"},
            {"config with a member twice", "write-config", configuration("1", R"(,"token":"7")"), "",
             "seven"},
            {"config with an eighth member", "write-config", configuration("1", R"(,"x":"7")"), "", "seven"},
            {"link at config.json", "write-config", config, "link", "symbolic link"},
            {"configuration folder is a link", "write-config", config, "folder link", "symbolic link"},
            {"log line over 8 KiB", "append-log", line + QByteArray(8192, 'x'), "", "larger than 8 KiB"},
            {"log line with a NUL byte", "append-log", line + '\0', "", "NUL"},
            {"log line ending inside a character", "append-log", line + "\xc3", "", "not valid UTF-8"},
            {"log line with U+2028", "append-log", line + "\xe2\x80\xa8[ERROR] forged", "", "U+2028"},
            {"log line with ESC", "append-log", line + "\x1b[2K", "", "U+001B"},
            {"hour 24", "append-log", "[2026-12-01T24:00:00Z] [INFO] x", "", "the form"},
            {"config with a byte-order mark", "write-config", "\xef\xbb\xbf" + config, "", "byte-order mark"},
            {"two log lines", "append-log", line + '\n' + line, "", "more than one line"},
            {"log line of another form", "append-log", "root::0:0:::", "", "the form"},
            {"link at the log", "append-log", line, "link", "symbolic link"},
            {"FIFO at the log", "append-log", line, "fifo", "not a regular file"},
        };
        for (const auto& [what, arguments, input, plantText, message] : refusals) {
            const QLatin1String plant(plantText);
            TestSandbox sandbox;
            sandbox.writeConfig(AgentConfig::defaults());
            sandbox.writeLog("old line\n");
            const QString folder = QFileInfo(sandbox.environment().configPath).path();
            const QString file =
                folder + (qstrcmp(arguments, "write-config") == 0 ? u"/config.json"_s : u"/activity.log"_s);
            const QString target = sandbox.path(u"var/tavrel/target"_s);
            TestSandbox::writeFile(target, "root-only secret\n");
            if (plant == "link"_L1 || plant == "fifo"_L1)
                QVERIFY(QFile::remove(file) &&
                        (plant == "link"_L1 ? QFile::link(target, file)
                                            : ::mkfifo(QFile::encodeName(file).constData(), 0644) == 0));
            else if (plant == "folder link"_L1)
                QVERIFY(QDir().rename(folder, target + u'2') && QFile::link(target + u'2', folder));
            QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
            if (plant == "pkexec"_L1)
                env.insert(u"PKEXEC_UID"_s, u"1000"_s);
            const QStringList before = TestSandbox::snapshot(sandbox.path(u"var"_s));
            const auto helper = startHelper(sandbox, QString::fromLatin1(arguments), input, env);
            QVERIFY(helper->waitForFinished(-1));
            const QByteArray error = helper->readAllStandardError();
            QVERIFY2(helper->exitStatus() == QProcess::NormalExit && helper->exitCode() > 0 &&
                         error.startsWith("tavrel-agent-helper: ") &&
                         error.indexOf('\n') == error.size() - 1 && error.contains(message),
                     what);
            QVERIFY2(TestSandbox::snapshot(sandbox.path(u"var"_s)) == before, what);
        }
    }

    // SIGKILL at random moments of write-config: config.json always holds the old record or the new
    // one, whole; a file left by a killed run is gone after the next write.
    void killedAtAnyMoment() {
        TestSandbox sandbox;
        const QString folder = QFileInfo(sandbox.environment().configPath).path();
        const QByteArray records[] = {configuration("first"), configuration("second")};
        sandbox.writeConfigBytes(records[0]);
        QElapsedTimer clock;
        clock.start();
        auto helper = startHelper(sandbox, u"write-config"_s, records[1]);
        QVERIFY(helper->waitForFinished() && helper->exitCode() == 0);
        // The kill falls at a random moment of a window, first one run long, that narrows while runs end
        // before it, so that most kills land mid-run however fast this machine is at the moment.
        double window = double(clock.nsecsElapsed()) / 1000;
        int killed = 0;
        constexpr int rounds = 500;
        for (int round = 0; round < rounds; ++round) {
            const QByteArray old = sandbox.configBytes(), next = records[old == records[0]];
            helper = startHelper(sandbox, u"write-config"_s, next);
            QVERIFY(helper->waitForStarted());
            QThread::usleep(QRandomGenerator::global()->bounded(quint64(window) + 1));
            ::kill(pid_t(helper->processId()), SIGKILL);
            helper->waitForFinished(-1);
            const bool crashed = helper->exitStatus() == QProcess::CrashExit;
            killed += crashed;
            window *= crashed ? 1.02 : 0.9;
            QVERIFY2(sandbox.configBytes() == old || sandbox.configBytes() == next,
                     qPrintable(u"round %1"_s.arg(round)));
        }
        QVERIFY2(killed > rounds / 4,
                 qPrintable(u"only %1 of %2 runs were killed"_s.arg(killed).arg(rounds)));
        helper = startHelper(sandbox, u"write-config"_s, records[0]);
        QVERIFY(helper->waitForFinished() && helper->exitCode() == 0);
        QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden), QStringList{u"config.json"_s});
    }
};

QTEST_GUILESS_MAIN(TestHelper)
#include "tst_helper.moc"
