#include "core/ServiceControl.h"

#include "core/AgentEnvironment.h"
#include "core/ProcessSearch.h"
#include "core/Shell.h"

#include <QFile>
#include <QFileInfo>

namespace {
bool agentProcessRuns(const AgentEnvironment& env) {
    if (!env.processSearchPattern.isEmpty())
        return !findProcesses(QFile::encodeName(env.processSearchPattern), 1).isEmpty();
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
