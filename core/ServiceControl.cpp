#include "core/ServiceControl.h"

#include "core/AgentEnvironment.h"
#include "core/ProcessSearch.h"
#include "core/Shell.h"

#include <QFile>
#include <QFileInfo>

#include <atomic>

namespace {
// The agent the last search found. While it runs, a check reads its command line alone instead
// of every process's; once it has ended (or its number went to another program), all are searched.
std::atomic<pid_t> lastAgent = 0;

bool agentProcessRuns(const AgentEnvironment& env) {
    if (!env.processSearchPattern.isEmpty()) {
        const QByteArray pattern = QFile::encodeName(env.processSearchPattern);
        if (processMatches(lastAgent, pattern))
            return true;
        const QList<pid_t> found = findProcesses(pattern, 1);
        lastAgent = found.isEmpty() ? 0 : found.first();
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
