#include "core/Privileged.h"

#include "core/Shell.h"

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>

#include <cstdio>

namespace {

const QString helperPrefix = QStringLiteral("tavrel-agent-helper: ");
const QString pkexecPrefix = QStringLiteral("Error executing command as another user: ");

// The administrator shell must not inherit anything that changes what it runs (BASH_ENV, PATH…).
QProcessEnvironment minimalEnvironment() {
    QProcessEnvironment env;
    env.insert(QStringLiteral("PATH"), QStringLiteral("/usr/bin:/bin:/usr/sbin:/sbin"));
    return env;
}

void reportFailure(const QString& message) {
    const QByteArray text = QByteArrayLiteral("[runPrivileged] osascript error: ") + message.toUtf8() + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stderr);
    std::fflush(stderr);
}

QStringList helperArguments(const RootRequest& request, const AgentEnvironment& env) {
    QStringList arguments;
    if (!env.helperRoot.isEmpty())
        arguments << QStringLiteral("--root") << env.helperRoot;
    return arguments + request.arguments;
}

Outcome runBackend(const RootRequest& request, const AgentEnvironment& env) {
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QString program;
    switch (env.privilegeMethod) {
    case PrivilegeMethod::AppleScript:
        program = env.privilegeProgram;
        process.setProcessEnvironment(minimalEnvironment());
        process.setStandardInputFile(QProcess::nullDevice());
        process.start(program, {QStringLiteral("-e"), appleScriptSource(rootCommandLine(request, env))});
        break;
    case PrivilegeMethod::Pkexec:
    case PrivilegeMethod::Direct:
        if (env.helperProgram.isEmpty())
            return Outcome::failure(QStringLiteral("tavrel-agent-helper is not installed"));
        if (env.privilegeMethod == PrivilegeMethod::Pkexec) {
            program = env.privilegeProgram;
            process.start(program, QStringList{env.helperProgram} + helperArguments(request, env));
        } else {
            program = env.helperProgram;
            process.setProcessEnvironment(environmentWithPathPrefix(env.pathPrefix));
            process.start(program, helperArguments(request, env));
        }
        break;
    }
    if (!process.waitForStarted(-1))
        return Outcome::failure(QFileInfo(program).fileName() + QStringLiteral(" could not be started"));
    if (env.privilegeMethod != PrivilegeMethod::AppleScript) {
        process.write(request.input);
        process.closeWriteChannel();
    }
    process.waitForFinished(-1);
    if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
        return Outcome::success();
    QString message = readableFailure(env.privilegeMethod, process.readAllStandardError());
    if (message.isEmpty())
        message = process.exitStatus() == QProcess::NormalExit
                      ? QStringLiteral("exit status %1").arg(process.exitCode())
                      : QFileInfo(program).fileName() + QStringLiteral(" ended abnormally");
    return Outcome::failure(message);
}

} // namespace

RootRequest serviceRequest(ServiceCommand command) {
    const char* verb = command == ServiceCommand::Start  ? "start"
                       : command == ServiceCommand::Stop ? "stop"
                                                         : "restart";
    return {{QLatin1String(HelperVerb::service), QLatin1String(verb)}, {}};
}

RootRequest configurationRequest(const QByteArray& json) {
    return {{QLatin1String(HelperVerb::writeConfig)}, json};
}

RootRequest logLineRequest(const QString& line) {
    return {{QLatin1String(HelperVerb::appendLog)}, line.toUtf8() + '\n'};
}

Outcome runServiceCommand(ServiceCommand command) {
    return runPrivileged(serviceRequest(command));
}

Outcome installConfiguration(const QByteArray& json) {
    return runPrivileged(configurationRequest(json));
}

Outcome appendLogLine(const QString& line) {
    return runPrivileged(logLineRequest(line));
}

Outcome runPrivileged(const RootRequest& request) {
    const AgentEnvironment& env = AgentEnvironment::current();
    const Outcome outcome =
        env.privilegedOverride ? env.privilegedOverride(request) : runBackend(request, env);
    if (!outcome)
        reportFailure(outcome.message);
    return outcome;
}

QString rootCommandLine(const RootRequest& request, const AgentEnvironment& env) {
    const QString verb = request.arguments.value(0);
    if (verb == QLatin1String(HelperVerb::service)) {
        const QString command = request.arguments.value(1);
        return command == QLatin1String("start")  ? env.startServiceCommand
               : command == QLatin1String("stop") ? env.stopServiceCommand
                                                  : env.restartServiceCommand;
    }
    if (verb == QLatin1String(HelperVerb::writeConfig)) {
        // The new file is made beside config.json, so the final rename is atomic; on any failure
        // it is removed again and the old file stays.
        const QString folder = QFileInfo(env.configPath).path();
        return QStringLiteral("t=$(mktemp ") + shellQuote(folder + QStringLiteral("/.config.json.XXXXXX")) +
               QStringLiteral(") && printf '%s' ") + shellQuote(QString::fromUtf8(request.input)) +
               QStringLiteral(" > \"$t\" && chmod 644 \"$t\" && mv -f \"$t\" ") + shellQuote(env.configPath) +
               QStringLiteral(" || { [ -n \"$t\" ] && rm -f \"$t\"; exit 1; }");
    }
    QByteArray line = request.input;
    if (line.endsWith('\n'))
        line.chop(1);
    return QStringLiteral("printf '%s\\n' ") + shellQuote(QString::fromUtf8(line)) + QStringLiteral(" >> ") +
           shellQuote(env.logPath);
}

QString readableFailure(PrivilegeMethod method, const QByteArray& standardError) {
    const QString text = QString::fromUtf8(standardError).trimmed();
    if (method == PrivilegeMethod::AppleScript) {
        // osascript: "0:74: execution error: User canceled. (-128)"
        static const QRegularExpression execution(QStringLiteral("execution error: (.*?)(?: \\(-?\\d+\\))?$"),
                                                  QRegularExpression::DotMatchesEverythingOption);
        const QRegularExpressionMatch match = execution.match(text);
        return match.hasMatch() ? match.captured(1).trimmed() : text;
    }
    QStringList lines = text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    // pkexec's own refusals: the reason is on the first line, the rest is boilerplate.
    if (!lines.isEmpty() && lines.first().startsWith(pkexecPrefix))
        return lines.first().mid(pkexecPrefix.size()).trimmed();
    for (QString& line : lines) {
        if (line.startsWith(helperPrefix))
            line = line.mid(helperPrefix.size());
    }
    return lines.join(QLatin1Char(' '));
}
