#include "core/ServiceControl.h"

#include "core/AgentEnvironment.h"
#include "core/ProcessSearch.h"
#include "core/Shell.h"

#include <QFile>
#include <QFileInfo>

#include <memory>
#include <mutex>

namespace {
// The agent the last search found, its command line kept open. While it runs, a check reads that
// alone instead of every process's; once it has ended, all are searched.
std::mutex lastAgentLock;
std::unique_ptr<CommandLineFile> lastAgent;

bool agentProcessRuns(const AgentEnvironment& env) {
    if (!env.processSearchPattern.isEmpty()) {
        const QByteArray pattern = QFile::encodeName(env.processSearchPattern);
        const std::lock_guard locked(lastAgentLock);
        if (lastAgent && lastAgent->contains(pattern))
            return true;
        const QList<pid_t> found = findProcesses(pattern, 1);
        lastAgent = found.isEmpty() ? nullptr : std::make_unique<CommandLineFile>(found.first());
        return !found.isEmpty();
    }
    const ShellResult search = runShell(env.processSearchCommand);
    return search.exitCode == 0 && !search.output.trimmed().isEmpty();
}

// A definition the service manager would load: a file, or a link that leads to one. A link to
// /dev/null is a masked service: installed, but disabled by its administrator. A dangling link
// or a folder in its place is not a definition.
bool serviceDefined(const AgentEnvironment& env) {
    for (const QString& path : env.serviceDefinitionPaths()) {
        const QFileInfo definition(path);
        if (definition.isFile() ||
            (definition.isSymLink() && definition.canonicalFilePath() == QLatin1String("/dev/null")))
            return true;
    }
    return false;
}
} // namespace

QString getAgentServiceStatus() {
    const AgentEnvironment& env = AgentEnvironment::current();
    if (agentProcessRuns(env))
        return QString::fromLatin1(ServiceState::Running);
    return QString::fromLatin1(serviceDefined(env) ? ServiceState::Stopped : ServiceState::NotInstalled);
}
