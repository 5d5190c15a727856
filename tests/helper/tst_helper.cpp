// tavrel-agent-helper on its own, as a child process with --root: what it refuses, what it writes,
// and what a kill at any moment leaves behind.
#include "core/AgentConfig.h"
#include "support/TestSandbox.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTest>
#include <QThread>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const QByteArray logLine = "[2025-03-07T14:05:09Z] [INFO] Zürich 'x' $(id) `id` \\ %s\t";

AgentConfig record(const QString& text) {
    return {text + u'1', text + u'2', text + u'3', text + u'4', text + u'5', text + u'6', text + u'7'};
}

struct Run final {
    int exitCode = -1;
    QByteArray standardError;
};

// Everything in the folder, links and hidden files included.
QStringList listing(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

int mode(const QString& path) {
    struct stat info {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode) : 0;
}

} // namespace

class TestHelper final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void refusals_data();
    void refusals();
    void success_data();
    void success();
    void killedAtAnyMoment();

private:
    QProcess* start(const QStringList& arguments, const QByteArray& input,
                    const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());
    Run run(const QStringList& arguments, const QByteArray& input,
            const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());
    QString folder() const { return sandbox->path(u"var/tavrel/agentservice"_s); }

    std::unique_ptr<TestSandbox> sandbox;
    std::unique_ptr<QProcess> process;
};

void TestHelper::init() {
    sandbox = std::make_unique<TestSandbox>();
}

void TestHelper::cleanup() {
    process.reset();
    sandbox.reset();
}

QProcess* TestHelper::start(const QStringList& arguments, const QByteArray& input,
                            const QProcessEnvironment& env) {
    // Standard input from a file, so that the helper has all of it the moment it starts.
    const QString inputFile = sandbox->path(u"input"_s);
    TestSandbox::writeFile(inputFile, input);
    process = std::make_unique<QProcess>();
    process->setStandardInputFile(inputFile);
    process->setProcessEnvironment(env);
    process->start(QStringLiteral(TAVREL_HELPER), QStringList{u"--root"_s, sandbox->root()} + arguments);
    return process.get();
}

Run TestHelper::run(const QStringList& arguments, const QByteArray& input, const QProcessEnvironment& env) {
    QProcess* helper = start(arguments, input, env);
    helper->waitForFinished(-1);
    return {helper->exitStatus() == QProcess::NormalExit ? helper->exitCode() : -1,
            helper->readAllStandardError()};
}

void TestHelper::refusals_data() {
    QTest::addColumn<QStringList>("arguments"); // after --root ROOT
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QString>("plant"); // what a hostile user put in place first
    QTest::addColumn<QString>("message");
    const QStringList config{u"write-config"_s}, log{u"append-log"_s};
    const QByteArray valid = record(u"new"_s).toJson();
    const auto members = [](const char* extra) -> QByteArray {
        return QByteArray(
                   R"({"computerID":"0","token":"1","clientID":"2","clientName":"3","locationName":"4",)"
                   R"("apiBaseUrl":"5")") +
               extra + '}';
    };
    QTest::newRow("no verb") << QStringList() << QByteArray() << QString() << u"usage:"_s;
    QTest::newRow("unknown verb") << QStringList{u"reboot"_s} << QByteArray() << QString()
                                  << u"unknown operation"_s;
    QTest::newRow("service without a command")
        << QStringList{u"service"_s} << QByteArray() << QString() << u"exactly one of start"_s;
    QTest::newRow("service enable") << QStringList{u"service"_s, u"enable"_s} << QByteArray() << QString()
                                    << u"exactly one of start"_s;
    QTest::newRow("service with a second unit") << QStringList{u"service"_s, u"stop"_s, u"ssh"_s}
                                                << QByteArray() << QString() << u"exactly one of start"_s;
    QTest::newRow("a path for append-log")
        << QStringList{u"append-log"_s, u"/etc/shadow"_s} << logLine << QString() << u"takes no arguments"_s;
    QTest::newRow("config over 64 KiB") << config << QByteArray(valid).insert(1, QByteArray(65536, ' '))
                                        << QString() << u"larger than 64 KiB"_s;
    QTest::newRow("config with a NUL byte")
        << config << QByteArray(valid).insert(1, '\0') << QString() << u"NUL"_s;
    QTest::newRow("config not UTF-8")
        << config << QByteArray(valid).replace("new1", "n\xff") << QString() << u"UTF-8"_s;
    QTest::newRow("config not JSON") << config << valid.chopped(3) << QString() << u"seven"_s;
    QTest::newRow("config as an array") << config << '[' + valid + ']' << QString() << u"seven"_s;
    QTest::newRow("config with six members") << config << members("") << QString() << u"seven"_s;
    QTest::newRow("config with an eighth member")
        << config << members(R"(,"agentVersion":"6","x":"7")") << QString() << u"seven"_s;
    QTest::newRow("config with a member twice")
        << config << members(R"(,"agentVersion":"6","token":"7")") << QString() << u"seven"_s;
    QTest::newRow("config with a number")
        << config << members(R"(,"agentVersion":6)") << QString() << u"seven"_s;
    QTest::newRow("link at config.json") << config << valid << u"link config.json"_s << u"symbolic link"_s;
    QTest::newRow("folder at config.json")
        << config << valid << u"folder config.json"_s << u"not a regular file"_s;
    QTest::newRow("configuration folder is a link")
        << config << valid << u"link folder"_s << u"symbolic link"_s;
    QTest::newRow("configuration folder missing") << config << valid << u"no folder"_s << u"does not exist"_s;
    QTest::newRow("log line over 8 KiB")
        << log << logLine + QByteArray(8192, 'x') << QString() << u"larger than 8 KiB"_s;
    QTest::newRow("two log lines") << log << logLine + '\n' + logLine << QString() << u"more than one line"_s;
    QTest::newRow("carriage return in a log line")
        << log << logLine + "\rforged" << QString() << u"more than one line"_s;
    QTest::newRow("log line with a NUL byte") << log << logLine + '\0' << QString() << u"NUL"_s;
    QTest::newRow("log line of another form")
        << log << QByteArray("root::0:0:::") << QString() << u"the form"_s;
    QTest::newRow("log line with an impossible time")
        << log << QByteArray("[2025-13-45T99:00:00Z] [INFO] x") << QString() << u"the form"_s;
    QTest::newRow("link at the log") << log << logLine << u"link activity.log"_s << u"symbolic link"_s;
    QTest::newRow("FIFO at the log") << log << logLine << u"fifo activity.log"_s << u"not a regular file"_s;
    QTest::newRow("log folder is a link") << log << logLine << u"link folder"_s << u"symbolic link"_s;
    QTest::newRow("--root under pkexec") << QStringList{u"PKEXEC_UID"_s} << valid << QString() << u"pkexec"_s;
}

// Every refusal is one line on standard error and a non-zero status, and changes nothing: the
// files, the folder and whatever a planted link points at stay as they were.
void TestHelper::refusals() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(QString, plant);
    QFETCH(QString, message);
    const QString target = sandbox->path(u"target"_s);
    TestSandbox::writeFile(target, "root-only secret\n");
    sandbox->writeConfig(record(u"old"_s));
    sandbox->writeLog("old line\n");
    const QString name = plant.section(u' ', 1);
    if (plant.startsWith("link folder"_L1)) {
        QVERIFY(QDir(folder()).removeRecursively() && QDir().mkpath(sandbox->path(u"elsewhere"_s)));
        QVERIFY(QFile::link(sandbox->path(u"elsewhere"_s), folder()));
    } else if (plant == "no folder"_L1) {
        QVERIFY(QDir(folder()).removeRecursively());
    } else if (!plant.isEmpty()) {
        QFile::remove(folder() + u'/' + name);
        if (plant.startsWith("link"_L1))
            QVERIFY(QFile::link(target, folder() + u'/' + name));
        else if (plant.startsWith("fifo"_L1))
            QCOMPARE(::mkfifo(QFile::encodeName(folder() + u'/' + name).constData(), 0644), 0);
        else
            QVERIFY(QDir().mkpath(folder() + u'/' + name));
    }
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (arguments == QStringList{u"PKEXEC_UID"_s}) {
        env.insert(u"PKEXEC_UID"_s, u"1000"_s);
        arguments = {u"write-config"_s};
    }
    const QStringList before = listing(sandbox->root() + u"/var/tavrel"_s), beforeFolder = listing(folder());
    // (A planted FIFO would block our own read.)
    const QByteArray config = plant.isEmpty() ? sandbox->configBytes() : QByteArray();
    const QByteArray logBytes = plant.isEmpty() ? sandbox->logBytes() : QByteArray();

    const Run done = run(arguments, input, env);
    QVERIFY(done.exitCode > 0);
    QVERIFY2(done.standardError.startsWith("tavrel-agent-helper: ") && done.standardError.count('\n') == 1 &&
                 done.standardError.endsWith('\n') && QString::fromUtf8(done.standardError).contains(message),
             done.standardError.constData());
    QCOMPARE(TestSandbox::readFile(target), QByteArray("root-only secret\n"));
    QCOMPARE(listing(sandbox->root() + u"/var/tavrel"_s), before);
    QCOMPARE(listing(folder()), beforeFolder);
    if (plant.isEmpty()) {
        QCOMPARE(sandbox->configBytes(), config);
        QCOMPARE(sandbox->logBytes(), logBytes);
    }
}

void TestHelper::success_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<bool>("existing"); // the file is there before
    QTest::addColumn<QByteArray>("expected");
    const QByteArray config = record(u"new \"Zürich\" \\u0041 "_s).toJson();
    QTest::newRow("write-config replaces") << QStringList{u"write-config"_s} << config << true << config;
    QTest::newRow("write-config creates") << QStringList{u"write-config"_s} << config << false << config;
    QTest::newRow("append-log appends") << QStringList{u"append-log"_s} << logLine + '\n'
                                        << true << "old line\n" + logLine + '\n';
    QTest::newRow("append-log creates, final LF optional")
        << QStringList{u"append-log"_s} << logLine << false << logLine + '\n';
}

// The exact bytes, mode 644 whatever the umask, and nothing else beside the file.
void TestHelper::success() {
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, input);
    QFETCH(bool, existing);
    QFETCH(QByteArray, expected);
    const bool config = arguments.first() == "write-config"_L1;
    const QString file = folder() + (config ? u"/config.json"_s : u"/activity.log"_s);
    if (existing)
        config ? sandbox->writeConfig(record(u"old"_s)) : sandbox->writeLog("old line\n");
    const mode_t mask = ::umask(077);
    const Run done = run(arguments, input);
    ::umask(mask);
    QVERIFY2(done.exitCode == 0 && done.standardError.isEmpty(), done.standardError.constData());
    QCOMPARE(TestSandbox::readFile(file), expected);
    QCOMPARE(mode(file), int(S_IFREG | 0644));
    QCOMPARE(listing(folder()), QStringList{QFileInfo(file).fileName()});
}

// SIGKILL at random moments of write-config: config.json always holds the old record or the new
// one, whole; a file left between link and rename is gone after the next write.
void TestHelper::killedAtAnyMoment() {
    const QByteArray records[] = {record(u"first"_s).toJson(), record(u"second"_s).toJson()};
    sandbox->writeConfigBytes(records[0]);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(run({u"write-config"_s}, records[1]).exitCode, 0);
    const qint64 runMicroseconds = clock.nsecsElapsed() / 1000;
    int killed = 0;
    constexpr int rounds = 500;
    for (int round = 0; round < rounds; ++round) {
        const QByteArray old = sandbox->configBytes();
        const QByteArray next =
            records[(round + 1) % 2] == old ? records[round % 2] : records[(round + 1) % 2];
        QProcess* helper = start({u"write-config"_s}, next);
        QVERIFY(helper->waitForStarted());
        QThread::usleep(QRandomGenerator::global()->bounded(quint64(runMicroseconds)));
        ::kill(pid_t(helper->processId()), SIGKILL);
        helper->waitForFinished(-1);
        killed += helper->exitStatus() == QProcess::CrashExit;
        const QByteArray now = sandbox->configBytes();
        QVERIFY2(now == old || now == next, qPrintable(u"round %1"_s.arg(round)));
        for (const QString& entry : listing(folder()))
            QVERIFY2(entry == "config.json"_L1 || entry.startsWith(".config.json.new-"_L1),
                     qPrintable(entry));
    }
    QVERIFY2(killed > rounds / 4, qPrintable(u"only %1 of %2 runs were killed"_s.arg(killed).arg(rounds)));
    QCOMPARE(run({u"write-config"_s}, records[0]).exitCode, 0);
    QCOMPARE(listing(folder()), QStringList{u"config.json"_s});
    qInfo("%d of %d helpers killed mid-run", killed, rounds);
}

QTEST_GUILESS_MAIN(TestHelper)
#include "tst_helper.moc"
