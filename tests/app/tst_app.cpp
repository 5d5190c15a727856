// Start-up, with the real binary: where the single-instance lock lives, and the single-instance rule.
#include <QtTest>

#include <unistd.h>

using namespace Qt::StringLiterals;

// The real app on the offscreen platform, with these "NAME=value" variables: with its own runtime
// directory it can never meet an instance the user is running.
static void startApp(QProcess& process, const QStringList& variables) {
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    for (const QString& variable : variables)
        environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(QStringLiteral(TAVREL_AGENT_BINARY), {u"--tray"_s});
}

class TestApp final : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void lockLocation() {
        // Whether XDG_RUNTIME_DIR is set; which of the runtime directory and our fallbacks (temp, then cache)
        // someone else made writable for others first (from, to), and how (Qt's permission bits); which
        // one the lock goes in (3: none).
        const std::tuple<bool, int, int, int, int> rows[] = {
            {true, 0, 0, 0, 0},      {false, 0, 0, 1, 0},      {true, 0, 1, 1, 0x7777},
            {true, 0, 1, 1, 0x7770}, {false, 1, 2, 2, 0x7777}, {false, 1, 3, 3, 0x7777}};
        for (const auto& [runtimeSet, from, to, lockIn, mode] : rows) {
            QTemporaryDir runtime, temp, cache;
            const QStringList folders{runtime.path(), temp.filePath(u"tavrel-agent-%1"_s.arg(::getuid())),
                                      cache.filePath(u"tavrel-agent"_s)};
            for (const QString& folder : folders.mid(from, to - from))
                QVERIFY(QDir().mkpath(folder) &&
                        QFile::setPermissions(folder, QFileDevice::Permissions(mode)));
            QProcess app;
            startApp(app, {u"XDG_RUNTIME_DIR="_s + (runtimeSet ? runtime.path() : QString()),
                           u"TMPDIR="_s + temp.path(), u"XDG_CACHE_HOME="_s + cache.path()});
            if (lockIn < 3) {
                QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(folders[lockIn] + u"/com.tavrel.agentui.lock"_s),
                                         10000);
                continue; // the app is killed as its QProcess goes
            }
            // Without any lock it says so and does not start unguarded.
            QVERIFY(app.waitForFinished(10000));
            QCOMPARE(app.exitCode(), 1);
            QVERIFY2(app.readAll().contains("single-instance lock"), "no message");
        }
    }

    void singleInstance() {
        QTemporaryDir runtime;
        const QStringList variables{u"XDG_RUNTIME_DIR="_s + runtime.path()};
        const QString lockFile = runtime.filePath(u"com.tavrel.agentui.lock"_s);
        QProcess crashed, first, second; // each killed, if still running, when it goes
        // A crashed instance leaves its lock behind; it must not keep the next one out.
        startApp(crashed, variables);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(lockFile).size() > 0, 10000); // the holder's name is in it
        crashed.kill();
        QVERIFY(crashed.waitForFinished() && QFileInfo::exists(lockFile));
        startApp(first, variables);
        QVERIFY2(!first.waitForFinished(3000), first.readAll().constData()); // the tray app keeps running

        // A second start leaves at once, silently and without an error, and the first runs on.
        startApp(second, variables);
        QVERIFY(second.waitForFinished(5000));
        QCOMPARE(std::pair(second.exitCode(), second.readAll()), std::pair(0, QByteArray()));
        QCOMPARE(first.state(), QProcess::Running);
        first.kill();
        QVERIFY(first.waitForFinished());
        // One killed before it wrote its name into the lock leaves an empty one: old, it is nobody's.
        QFile empty(lockFile);
        QVERIFY(
            empty.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
            empty.setFileTime(QDateTime::currentDateTime().addSecs(-60), QFileDevice::FileModificationTime));
        empty.close();
        startApp(first, variables);
        QVERIFY2(!first.waitForFinished(3000), first.readAll().constData());
    }
};

QTEST_MAIN(TestApp)
#include "tst_app.moc"
