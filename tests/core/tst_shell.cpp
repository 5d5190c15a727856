// The command runners and the service boundary: runShell, runPrivileged through each backend
// (real stand-ins for osascript and pkexec), the service command lines and the status rule.
#include "CoreTestSupport.h"
#include "core/ServiceControl.h"
#include "core/Shell.h"
#include "support/TestSandbox.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>

using namespace CoreTest;

Q_DECLARE_METATYPE(PrivilegeMethod)

class TestShell final : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void runShellResults_data();
    void runShellResults();
    void runShellCannotStart();
    void appleScriptSource_data();
    void appleScriptSource();
    void shellQuoteSurvivesTheShell();
    void privilegedLineArrivesUnchanged_data();
    void privilegedLineArrivesUnchanged();
    void appleScriptGetsCleanEnvironment();
    void privilegedOutcomes_data();
    void privilegedOutcomes();
    void serviceCommandLines();
    void serviceCommandsReachServiceManager();
    void serviceStatus_data();
    void serviceStatus();
};

void TestShell::runShellResults_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("output");

    QTest::newRow("stdout and stderr merged in order")
        << "echo out; echo err >&2; echo out2" << 0 << "out\nerr\nout2\n";
    QTest::newRow("stderr only") << "echo only-err >&2; exit 3" << 3 << "only-err\n";
    QTest::newRow("silent failure") << "exit 1" << 1 << "";
    QTest::newRow("not trimmed") << "printf '  x \\n\\n'" << 0 << "  x \n\n";
    QTest::newRow("non-ASCII") << "printf 'Zürich – 東京'" << 0 << "Zürich – 東京";
    QTest::newRow("invalid UTF-8 drops the output, keeps the status")
        << "printf 'ok\\377'; exit 4" << 4 << "";
    QTest::newRow("bash, pipes and ||")
        << "[[ -n x ]] && printf 'a b' | tr ' ' '\\n' || false" << 0 << "a\nb";
    QTest::newRow("tool from the sandbox bin first on PATH") << "sandbox-tool" << 0 << "sandbox tool\n";
    QTest::newRow("output larger than a pipe")
        << "head -c 300000 /dev/zero | tr '\\0' a" << 0 << QString(300000, QLatin1Char('a'));
}

void TestShell::runShellResults() {
    QFETCH(QString, command);
    QFETCH(int, exitCode);
    QFETCH(QString, output);
    TestSandbox sandbox;
    writeExecutable(sandbox.path(QStringLiteral("bin/sandbox-tool")), "#!/bin/sh\necho sandbox tool\n");

    const ShellResult result = runShell(command);
    QCOMPARE(result.output, output);
    QCOMPARE(result.exitCode, exitCode);
}

void TestShell::runShellCannotStart() {
    TestSandbox sandbox;
    const QString notExecutable = sandbox.path(QStringLiteral("bin/not-executable"));
    writeFile(notExecutable, "#!/bin/sh\necho should not run\n");
    for (const QString& shell : {sandbox.path(QStringLiteral("missing/bash")), notExecutable}) {
        sandbox.changeEnvironment([&](AgentEnvironment& e) { e.shellProgram = shell; });
        const ShellResult result = runShell(QStringLiteral("echo hi"));
        QCOMPARE(result.exitCode, -1);
        QCOMPARE(result.output, QString());
    }
}

void TestShell::appleScriptSource_data() {
    QTest::addColumn<QString>("command");
    QTest::addColumn<QString>("source");

    // echo "a\b" becomes echo \"a\\b\" inside the literal.
    QTest::newRow("the documented example")
        << "echo \"a\\b\""
        << "do shell script \"echo \\\"a\\\\b\\\"\" with administrator privileges";
    QTest::newRow("empty command") << ""
                                   << "do shell script \"\" with administrator privileges";
    QTest::newRow("backslash before a quote, each escaped once")
        << "a\\\"b"
        << "do shell script \"a\\\\\\\"b\" with administrator privileges";
    QTest::newRow("nothing else escaped")
        << "x='$y' `z`\nnext\t\\n"
        << "do shell script \"x='$y' `z`\nnext\t\\\\n\" with administrator privileges";
}

void TestShell::appleScriptSource() {
    QFETCH(QString, command);
    QFETCH(QString, source);
    QCOMPARE(::appleScriptSource(command), source);
}

void TestShell::shellQuoteSurvivesTheShell() {
    QCOMPARE(shellQuote(QStringLiteral("it's")), QStringLiteral("'it'\\''s'"));
    QCOMPARE(shellQuote(QString()), QStringLiteral("''"));
    TestSandbox sandbox;
    const QString canary = sandbox.path(QStringLiteral("canary"));
    for (const auto& [name, text] : hostileTexts()) {
        const QString word = withCanary(text, canary);
        QCOMPARE(runShell(QStringLiteral("printf '%s' ") + shellQuote(word)).output, word);
    }
    QVERIFY(!QFile::exists(canary));
}

void TestShell::privilegedLineArrivesUnchanged_data() {
    QTest::addColumn<PrivilegeMethod>("method");
    QTest::addColumn<QString>("text");
    for (const PrivilegeMethod method :
         {PrivilegeMethod::AppleScript, PrivilegeMethod::Pkexec, PrivilegeMethod::Direct})
        for (const auto& [name, text] : hostileTexts())
            QTest::addRow("%s: %s", qPrintable(methodName(method)), qPrintable(name)) << method << text;
    QTest::newRow("osascript: line breaks in the command line")
        << PrivilegeMethod::AppleScript << "first\nsecond\r\nthird";
}

// The command writes its own text (quoted for the shell) to a file: what arrives in the file is
// exactly the text, and the stand-ins record the command line they decoded or received.
void TestShell::privilegedLineArrivesUnchanged() {
    QFETCH(PrivilegeMethod, method);
    QFETCH(QString, text);
    TestSandbox sandbox;
    const QString program =
        method == PrivilegeMethod::Direct ? QString() : installStandIn(sandbox.root(), methodName(method));
    sandbox.changeEnvironment([&](AgentEnvironment& e) { usePrivilegeBackend(e, method, program); });
    const QString canary = sandbox.path(QStringLiteral("canary"));
    const QString out = sandbox.path(QStringLiteral("out"));
    const QString payload = withCanary(text, canary);
    const QString line = QStringLiteral("printf '%s' ") + shellQuote(payload) + QStringLiteral(" > ") +
                         shellQuote(out) + QStringLiteral("; echo \"a\\b\" 'c\"d' > /dev/null");

    StderrCapture stderrCapture;
    QVERIFY(runPrivileged(line));
    QCOMPARE(stderrCapture.text(), QByteArray());
    QCOMPARE(QString::fromUtf8(readFile(out)), payload);
    if (method != PrivilegeMethod::Direct)
        QCOMPARE(QString::fromUtf8(readFile(program + QStringLiteral(".last"))), line);
    QVERIFY(!QFile::exists(canary));
}

void TestShell::appleScriptGetsCleanEnvironment() {
    TestSandbox sandbox;
    const QString program = installStandIn(sandbox.root(), QStringLiteral("osascript"));
    sandbox.changeEnvironment([&](AgentEnvironment& e) {
        usePrivilegeBackend(e, PrivilegeMethod::AppleScript, program);
        e.pathPrefix = {sandbox.path(QStringLiteral("bin"))};
    });
    const QString canary = sandbox.path(QStringLiteral("canary"));
    writeFile(sandbox.path(QStringLiteral("bash_env")), "touch '" + canary.toUtf8() + "'\n");
    const QByteArray evil = sandbox.path(QStringLiteral("evil")).toUtf8();
    const ScopedEnv bashEnv("BASH_ENV", sandbox.path(QStringLiteral("bash_env")).toUtf8());
    const ScopedEnv env("ENV", sandbox.path(QStringLiteral("bash_env")).toUtf8());
    const ScopedEnv path("PATH", evil + ':' + qgetenv("PATH"));
    const ScopedEnv inherited("TAVREL_INHERITED", "yes");

    const QString envFile = sandbox.path(QStringLiteral("env.txt"));
    QVERIFY(runPrivileged(QStringLiteral("env > '") + envFile + QStringLiteral("'; bash -c true")));
    const QByteArray seen = readFile(envFile);
    QVERIFY2(!seen.contains("BASH_ENV=") && !seen.contains("\nENV=") && !seen.contains("TAVREL_INHERITED"),
             seen.constData());
    QVERIFY2(!seen.contains(evil) && !seen.contains(sandbox.root().toUtf8()), seen.constData());
    QVERIFY2(seen.contains("PATH=/usr/bin:/bin"), seen.constData());
    QVERIFY(!QFile::exists(canary));
}

void TestShell::privilegedOutcomes_data() {
    QTest::addColumn<PrivilegeMethod>("method");
    QTest::addColumn<QString>("answer"); // for the pkexec stand-in; "missing" = no such program
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("succeeds");
    QTest::addColumn<QStringList>("message"); // fragments of the one error line

    const auto osascript = PrivilegeMethod::AppleScript;
    const auto pkexec = PrivilegeMethod::Pkexec;
    QTest::newRow("osascript: success, output discarded") << osascript << ""
                                                          << "echo to-stdout" << true << QStringList();
    QTest::newRow("osascript: command fails with a message")
        << osascript << ""
        << "echo boom >&2; exit 3" << false << QStringList{"boom", "(3)"};
    QTest::newRow("osascript: command fails silently")
        << osascript << ""
        << "exit 5" << false << QStringList{"non-zero status", "(5)"};
    QTest::newRow("osascript: multi-line message stays one line")
        << osascript << ""
        << "printf 'one\\ntwo\\n' >&2; exit 1" << false << QStringList{"one", "two"};
    QTest::newRow("osascript: cannot start") << osascript << "missing"
                                             << "true" << false << QStringList();
    QTest::newRow("pkexec: success") << pkexec << ""
                                     << "echo to-stdout" << true << QStringList();
    QTest::newRow("pkexec: dialog dismissed (126)") << pkexec << "126"
                                                    << "true" << false << QStringList{"Request dismissed"};
    QTest::newRow("pkexec: not authorised (127)")
        << pkexec << "127"
        << "true" << false << QStringList{"Not authorized", "This incident has been reported."};
    QTest::newRow("pkexec: command exits non-zero silently")
        << pkexec << ""
        << "exit 4" << false << QStringList{"exit status 4"};
    QTest::newRow("pkexec: command fails with a message")
        << pkexec << ""
        << "echo nope >&2; exit 2" << false << QStringList{"nope"};
    QTest::newRow("pkexec: cannot start") << pkexec << "missing"
                                          << "true" << false << QStringList();
    QTest::newRow("direct: success") << PrivilegeMethod::Direct << ""
                                     << "true" << true << QStringList();
    QTest::newRow("direct: command exits non-zero") << PrivilegeMethod::Direct << ""
                                                    << "exit 6" << false << QStringList{"exit status 6"};
}

void TestShell::privilegedOutcomes() {
    QFETCH(PrivilegeMethod, method);
    QFETCH(QString, answer);
    QFETCH(QString, command);
    QFETCH(bool, succeeds);
    QFETCH(QStringList, message);
    TestSandbox sandbox;
    QDir(sandbox.root()).mkpath(QStringLiteral("standins"));
    QString program;
    if (answer == QLatin1String("missing"))
        program = sandbox.path(QStringLiteral("standins/missing"));
    else if (method != PrivilegeMethod::Direct)
        program = installStandIn(sandbox.root(), methodName(method));
    writeFile(sandbox.path(QStringLiteral("standins/pkexec.answer")), answer.toUtf8() + '\n');
    sandbox.changeEnvironment([&](AgentEnvironment& e) { usePrivilegeBackend(e, method, program); });

    StderrCapture stderrCapture;
    QCOMPARE(runPrivileged(command), succeeds);
    const QString reported = QString::fromUtf8(stderrCapture.text());
    if (succeeds) {
        QCOMPARE(reported, QString());
        return;
    }
    const QString prefix = QStringLiteral("[runPrivileged] osascript error: ");
    QVERIFY2(reported.startsWith(prefix) && reported.endsWith(QLatin1Char('\n')), qPrintable(reported));
    QVERIFY2(reported.count(QLatin1Char('\n')) == 1 && !reported.contains(QLatin1Char('\r')),
             qPrintable(reported));
    QVERIFY2(reported.size() > prefix.size() + 1, "the message is empty");
    for (const QString& fragment : message)
        QVERIFY2(reported.contains(fragment), qPrintable(reported));
}

void TestShell::serviceCommandLines() {
    const AgentEnvironment mac = AgentEnvironment::macOS();
    QCOMPARE(mac.startServiceCommand,
             QStringLiteral("launchctl bootstrap system /Library/LaunchDaemons/com.tavrel.agentservice.plist "
                            "2>/dev/null || launchctl kickstart system/com.tavrel.agentservice"));
    QCOMPARE(mac.stopServiceCommand, QStringLiteral("launchctl bootout system/com.tavrel.agentservice"));
    QCOMPARE(
        mac.restartServiceCommand,
        QStringLiteral("launchctl kickstart -k system/com.tavrel.agentservice 2>/dev/null || (launchctl "
                       "bootout system/com.tavrel.agentservice 2>/dev/null; sleep 3; launchctl bootstrap "
                       "system /Library/LaunchDaemons/com.tavrel.agentservice.plist)"));
    QCOMPARE(mac.startServiceCommand.toUtf8().size(), 145);
    QCOMPARE(mac.stopServiceCommand.toUtf8().size(), 48);
    QCOMPARE(mac.restartServiceCommand.toUtf8().size(), 221);
    QCOMPARE(mac.processSearchCommand, QStringLiteral("pgrep -f tavrel_agent.py 2>/dev/null"));
    QCOMPARE(mac.serviceDefinitionPath,
             QStringLiteral("/Library/LaunchDaemons/com.tavrel.agentservice.plist"));
    QCOMPARE(mac.privilegeMethod, PrivilegeMethod::AppleScript);
    QCOMPARE(mac.privilegeProgram, QStringLiteral("/usr/bin/osascript"));

    const AgentEnvironment systemd = AgentEnvironment::linuxSystemd();
    QCOMPARE(systemd.startServiceCommand, QStringLiteral("systemctl start com.tavrel.agentservice.service"));
    QCOMPARE(systemd.stopServiceCommand, QStringLiteral("systemctl stop com.tavrel.agentservice.service"));
    QCOMPARE(systemd.restartServiceCommand,
             QStringLiteral("systemctl restart com.tavrel.agentservice.service"));
    QCOMPARE(systemd.serviceDefinitionPath,
             QStringLiteral("/etc/systemd/system/com.tavrel.agentservice.service"));
    // bash's own command line must not match the search.
    QCOMPARE(systemd.processSearchCommand, QStringLiteral("pgrep -f '[t]avrel_agent.py' 2>/dev/null"));
    for (const AgentEnvironment& e : {mac, systemd}) {
        QCOMPARE(e.configPath, QStringLiteral("/var/tavrel/agentservice/config.json"));
        QCOMPARE(e.logPath, QStringLiteral("/var/tavrel/agentservice/activity.log"));
        QVERIFY(!e.privilegedOverride);
    }

    TestSandbox sandbox;
    QCOMPARE(startServiceCommand(), systemd.startServiceCommand);
    QCOMPARE(stopServiceCommand(), systemd.stopServiceCommand);
    QCOMPARE(restartServiceCommand(), systemd.restartServiceCommand);
    sandbox.changeEnvironment([&](AgentEnvironment& e) { e = mac; });
    QCOMPARE(restartServiceCommand(), mac.restartServiceCommand);
}

// In a sandbox the commands run unprivileged and reach the systemctl first on PATH.
void TestShell::serviceCommandsReachServiceManager() {
    TestSandbox sandbox;
    const QString calls = sandbox.path(QStringLiteral("systemctl.calls"));
    writeExecutable(sandbox.path(QStringLiteral("bin/systemctl")),
                    "#!/bin/sh\necho \"$*\" >> '" + calls.toUtf8() + "'\n[ \"$1\" != stop ]\n");
    QVERIFY(runPrivileged(startServiceCommand()));
    QVERIFY(runPrivileged(restartServiceCommand()));
    StderrCapture stderrCapture;
    QVERIFY(!runPrivileged(stopServiceCommand()));
    QCOMPARE(
        QString::fromUtf8(stderrCapture.text()).count(QStringLiteral("[runPrivileged] osascript error: ")),
        1);
    QCOMPARE(readFile(calls), QByteArray("start com.tavrel.agentservice.service\n"
                                         "restart com.tavrel.agentservice.service\n"
                                         "stop com.tavrel.agentservice.service\n"));
}

void TestShell::serviceStatus_data() {
    QTest::addColumn<QString>("process"); // "agent", "viewer" (tail -f of the script) or ""
    QTest::addColumn<bool>("definition");
    QTest::addColumn<QString>("search"); // replaces the process search when set; "no shell" breaks the shell
    QTest::addColumn<QString>("state");

    QTest::newRow("running") << "agent" << true << "" << ServiceState::Running;
    QTest::newRow("running without definition") << "agent" << false << "" << ServiceState::Running;
    QTest::newRow("viewer of the script counts") << "viewer" << false << "" << ServiceState::Running;
    QTest::newRow("stopped") << "" << true << "" << ServiceState::Stopped;
    QTest::newRow("not installed") << "" << false << "" << ServiceState::NotInstalled;
    QTest::newRow("search prints only blanks, definition")
        << "" << true << "printf ' \\n\\t\\r\\n'" << ServiceState::Stopped;
    QTest::newRow("search prints only blanks, no definition")
        << "agent" << false << "echo; echo ' '" << ServiceState::NotInstalled;
    QTest::newRow("search fails with output") << "" << true << "echo 123; exit 1" << ServiceState::Stopped;
    QTest::newRow("shell cannot start, agent running")
        << "agent" << true << "no shell" << ServiceState::Stopped;
}

void TestShell::serviceStatus() {
    QFETCH(QString, process);
    QFETCH(bool, definition);
    QFETCH(QString, search);
    QFETCH(QString, state);
    TestSandbox sandbox;
    sandbox.setServiceDefinition(definition);
    QProcess viewer;
    if (process == QLatin1String("agent"))
        QVERIFY(sandbox.startAgentProcess());
    if (process == QLatin1String("viewer")) {
        writeFile(sandbox.path(QStringLiteral("bin/tavrel_agent.py")), "print('agent')\n");
        viewer.start(QStringLiteral("tail"),
                     {QStringLiteral("-f"), sandbox.path(QStringLiteral("bin/tavrel_agent.py"))});
        QVERIFY(viewer.waitForStarted());
    }
    if (search == QLatin1String("no shell"))
        sandbox.changeEnvironment(
            [&](AgentEnvironment& e) { e.shellProgram = sandbox.path(QStringLiteral("no/bash")); });
    else if (!search.isEmpty())
        sandbox.changeEnvironment([&](AgentEnvironment& e) { e.processSearchCommand = search; });

    QCOMPARE(getAgentServiceStatus(), state);
    viewer.kill();
    viewer.waitForFinished();
}

QTEST_GUILESS_MAIN(TestShell)
#include "tst_shell.moc"
