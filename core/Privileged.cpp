#include "core/Privileged.h"

#include "core/RunRecord.h"
#include "core/Shell.h"

#include <QFileInfo>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTimer>

#include <cstdio>

namespace {

const QString helperPrefix = QStringLiteral("tavrel-agent-helper: ");
const QString pkexecPrefix = QStringLiteral("Error executing command as another user: ");

OwnAuthenticationAgent* ownAgent = nullptr;

// pkexec found no agent to ask the administrator through, or no polkit to ask for one.
bool lacksAgent(const QString& reason) {
    return reason == QLatin1String("No authentication agent found") ||
           reason.startsWith(QLatin1String("Error getting authority"));
}

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

bool isTwoStepRequest(const RootRequest& request) {
    return request.arguments ==
           QStringList{QLatin1String(HelperVerb::writeConfig), QLatin1String(HelperVerb::withLogLine)};
}

} // namespace

// One root operation in flight: its process, and whom to tell when it ends. It belongs to the
// activity, not to the caller, so that closing a window never kills an operation half done.
class RootRun final : public QObject {
public:
    RootRun(const RootRequest& rootRequest, QObject* caller, std::function<void(const RootResult&)> handler)
        : QObject(&RootActivity::instance())
        , request(rootRequest)
        , env(AgentEnvironment::current())
        , context(caller)
        , hasContext(caller != nullptr)
        , done(std::move(handler)) {}

    void start() {
        RootActivity::instance().setRunning(true);
        if (env.privilegedOverride) {
            // Still from the event loop, as a real backend would answer.
            QMetaObject::invokeMethod(
                this, [this] { finish(env.privilegedOverride(request)); }, Qt::QueuedConnection);
            return;
        }
        if (const Outcome problem = startBackend(); !problem)
            QMetaObject::invokeMethod(
                this, [this, problem] { finish(problem); }, Qt::QueuedConnection);
    }

    QProcess process;

private:
    Outcome startBackend() {
        process.setStandardOutputFile(QProcess::nullDevice());
        switch (env.privilegeMethod) {
        case PrivilegeMethod::AppleScript:
            program = env.privilegeProgram;
            process.setProcessEnvironment(minimalEnvironment());
            process.setStandardInputFile(QProcess::nullDevice());
            process.setProgram(program);
            process.setArguments({QStringLiteral("-e"), appleScriptSource(rootCommandLine(request, env))});
            break;
        case PrivilegeMethod::Pkexec:
        case PrivilegeMethod::Direct:
            if (env.helperProgram.isEmpty() || !QFileInfo(env.helperProgram).isExecutable())
                return Outcome::failure(QStringLiteral("tavrel-agent-helper is not installed"));
            if (env.privilegeMethod == PrivilegeMethod::Pkexec) {
                program = env.privilegeProgram;
                process.setProgram(program);
                // Its own agent would ask on a terminal, where nobody looks.
                process.setArguments(
                    QStringList{QStringLiteral("--disable-internal-agent"), env.helperProgram} +
                    helperArguments(request, env));
            } else {
                program = env.helperProgram;
                process.setProcessEnvironment(environmentWithPathPrefix(env.pathPrefix));
                process.setProgram(program);
                process.setArguments(helperArguments(request, env));
            }
            break;
        }
        connect(&process, &QProcess::finished, this, [this] { ended(processResult()); });
        connect(&process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
            if (error == QProcess::FailedToStart)
                finish(Outcome::failure(QFileInfo(program).fileName() +
                                        QStringLiteral(" could not be started")));
        });
        launch();
        return Outcome::success();
    }

    void launch() {
        process.start();
        if (env.privilegeMethod != PrivilegeMethod::AppleScript) {
            // Buffered until the process runs; the helper reads to the end of its input.
            process.write(request.input);
            process.closeWriteChannel();
        }
    }

    void ended(const RootResult& result) {
        if (result.outcome || env.privilegeMethod != PrivilegeMethod::Pkexec || agentLent ||
            !lacksAgent(result.outcome.message)) {
            finish(result);
            return;
        }
        // Nothing was authorised and nothing ran: once more, with our own agent to ask.
        agentLent = true;
        if (ownAgent == nullptr) {
            finish(Outcome::failure(noAuthenticationAgentReason()));
            return;
        }
        ownAgent->acquire([this](const Outcome& acquired) {
            if (!acquired) {
                std::fprintf(stderr, "[runPrivileged] no authentication agent of our own: %s\n",
                             acquired.message.toLocal8Bit().constData());
                finish(Outcome::failure(noAuthenticationAgentReason()));
                return;
            }
            agentHeld = ownAgent;
            launch();
        });
    }

    RootResult processResult() {
        if (process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0)
            return Outcome::success();
        const QByteArray standardError = process.readAllStandardError();
        QString message = readableFailure(env.privilegeMethod, standardError);
        if (message.isEmpty())
            message = process.exitStatus() == QProcess::NormalExit
                          ? QStringLiteral("exit status %1").arg(process.exitCode())
                          : QFileInfo(program).fileName() + QStringLiteral(" ended abnormally");
        const int status = env.privilegeMethod == PrivilegeMethod::AppleScript
                               ? appleScriptExitStatus(standardError)
                           : process.exitStatus() == QProcess::NormalExit ? process.exitCode()
                                                                          : -1;
        return {Outcome::failure(message),
                isTwoStepRequest(request) && status == HelperVerb::logLineFailedStatus};
    }

    void finish(const RootResult& result) {
        if (finished)
            return;
        finished = true;
        if (agentHeld)
            agentHeld->release();
        if (!result.outcome)
            reportFailure(result.outcome.message);
        RunRecord::record(request.arguments.join(u' '), result.outcome.succeeded, result.outcome.message);
        // Idle before the handler runs, so that it may start the next operation.
        RootActivity::instance().setRunning(false);
        if (!hasContext || context)
            done(result);
        deleteLater();
    }

    RootRequest request;
    AgentEnvironment env;
    QPointer<QObject> context;
    bool hasContext = false;
    std::function<void(const RootResult&)> done;
    QString program;
    bool finished = false;
    bool agentLent = false;
    OwnAuthenticationAgent* agentHeld = nullptr;
};

void setOwnAuthenticationAgent(OwnAuthenticationAgent* agent) {
    ownAgent = agent;
}

QString cancelledReason() {
    return QStringLiteral("The request was cancelled");
}

QString noAuthenticationAgentReason() {
    return QStringLiteral(
        "No authentication agent is available, so the administrator's password cannot be asked for");
}

void refuseWithoutRunning(const QString& reason, QObject* context,
                          std::function<void(const RootResult&)> done) {
    const Outcome refused = Outcome::failure(reason);
    reportFailure(refused.message);
    QTimer::singleShot(0, context ? context : &RootActivity::instance(),
                       [done = std::move(done), refused] { done(refused); });
}

RootActivity& RootActivity::instance() {
    static RootActivity activity;
    return activity;
}

void RootActivity::setRunning(bool running) {
    if (active == running)
        return;
    active = running;
    Q_EMIT runningChanged(running);
}

void RootActivity::waitUntilIdle() {
    for (RootRun* run : findChildren<RootRun*>(Qt::FindDirectChildrenOnly)) {
        if (run->process.state() != QProcess::NotRunning)
            run->process.waitForFinished(-1);
    }
}

RootRequest serviceRequest(ServiceCommand command) {
    const char* verb = command == ServiceCommand::Start  ? "start"
                       : command == ServiceCommand::Stop ? "stop"
                                                         : "restart";
    return {{QLatin1String(HelperVerb::service), QLatin1String(verb)}, {}};
}

RootRequest configurationRequest(const QByteArray& json) {
    return {{QLatin1String(HelperVerb::writeConfig)}, json};
}

RootRequest configurationWithLogLineRequest(const QByteArray& json, const QString& line) {
    return {{QLatin1String(HelperVerb::writeConfig), QLatin1String(HelperVerb::withLogLine)},
            line.toUtf8() + '\n' + json};
}

RootRequest logLineRequest(const QString& line) {
    return {{QLatin1String(HelperVerb::appendLog)}, line.toUtf8() + '\n'};
}

void runServiceCommand(ServiceCommand command, QObject* context, OutcomeHandler done) {
    runPrivileged(serviceRequest(command), context,
                  [done](const RootResult& result) { done(result.outcome); });
}

void installConfiguration(const QByteArray& json, QObject* context, OutcomeHandler done) {
    runPrivileged(configurationRequest(json), context,
                  [done](const RootResult& result) { done(result.outcome); });
}

void installConfigurationWithLogLine(const QByteArray& json, const QString& line, QObject* context,
                                     std::function<void(const StoreOutcome&)> done) {
    runPrivileged(configurationWithLogLineRequest(json, line), context, [done](const RootResult& result) {
        if (result.outcome)
            done({Outcome::success(), Outcome::success()});
        else if (result.firstStepDone)
            done({Outcome::success(), result.outcome});
        else
            done({result.outcome, {}});
    });
}

void appendLogLine(const QString& line, QObject* context, OutcomeHandler done) {
    runPrivileged(logLineRequest(line), context, [done](const RootResult& result) { done(result.outcome); });
}

void runPrivileged(const RootRequest& request, QObject* context,
                   std::function<void(const RootResult&)> done) {
    if (RootActivity::instance().running()) {
        // The controls that start one are disabled meanwhile; this is the last guard.
        const Outcome busy =
            Outcome::failure(QStringLiteral("another administrator operation is still running"));
        QTimer::singleShot(0, context ? context : &RootActivity::instance(), [done, busy] { done(busy); });
        return;
    }
    auto* run = new RootRun(request, context, std::move(done));
    run->start();
}

QString rootCommandLine(const RootRequest& request, const AgentEnvironment& env) {
    const QString verb = request.arguments.value(0);
    if (verb == QLatin1String(HelperVerb::service)) {
        const QString command = request.arguments.value(1);
        return command == QLatin1String("start")  ? env.startServiceCommand
               : command == QLatin1String("stop") ? env.stopServiceCommand
                                                  : env.restartServiceCommand;
    }
    const auto appendLine = [&env](QByteArray line) -> QString {
        if (line.endsWith('\n'))
            line.chop(1);
        return QStringLiteral("printf '%s\\n' ") + shellQuote(QString::fromUtf8(line)) +
               QStringLiteral(" >> ") + shellQuote(env.logPath);
    };
    if (verb == QLatin1String(HelperVerb::writeConfig)) {
        // With its log line first: the line, a line feed, then the configuration.
        QByteArray json = request.input, line;
        const bool withLine = request.arguments.value(1) == QLatin1String(HelperVerb::withLogLine);
        if (withLine) {
            const qsizetype end = json.indexOf('\n');
            line = json.left(end);
            json = json.mid(end + 1);
        }
        // The new file is made beside config.json, so the final rename is atomic; on any failure
        // it is removed again and the old file stays.
        const QString folder = QFileInfo(env.configPath).path();
        QString commandLine =
            QStringLiteral("t=$(mktemp ") + shellQuote(folder + QStringLiteral("/.config.json.XXXXXX")) +
            QStringLiteral(") && printf '%s' ") + shellQuote(QString::fromUtf8(json)) +
            QStringLiteral(" > \"$t\" && chmod 644 \"$t\" && mv -f \"$t\" ") + shellQuote(env.configPath) +
            QStringLiteral(" || { [ -n \"$t\" ] && rm -f \"$t\"; exit 1; }");
        if (withLine)
            commandLine += QStringLiteral("; ") + appendLine(line) +
                           QStringLiteral(" || exit %1").arg(HelperVerb::logLineFailedStatus);
        return commandLine;
    }
    return appendLine(request.input);
}

int appleScriptExitStatus(const QByteArray& standardError) {
    static const QRegularExpression status(QStringLiteral("\\((-?\\d+)\\)\\s*$"));
    const QRegularExpressionMatch match = status.match(QString::fromUtf8(standardError));
    return match.hasMatch() ? match.captured(1).toInt() : -1;
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
    if (!lines.isEmpty() && lines.first().startsWith(pkexecPrefix)) {
        const QString reason = lines.first().mid(pkexecPrefix.size()).trimmed();
        // The agent's dialog was cancelled, ours or the desktop's.
        return reason == QLatin1String("Request dismissed") ? cancelledReason() : reason;
    }
    for (QString& line : lines) {
        if (line.startsWith(helperPrefix))
            line = line.mid(helperPrefix.size());
    }
    return lines.join(QLatin1Char(' '));
}
