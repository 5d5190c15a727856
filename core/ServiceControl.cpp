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
} // namespace

QString getAgentServiceStatus() {
    const AgentEnvironment& env = AgentEnvironment::current();
    if (agentProcessRuns(env))
        return QString::fromLatin1(ServiceState::Running);
    return QString::fromLatin1(QFileInfo::exists(env.serviceDefinitionPath) ? ServiceState::Stopped
                                                                            : ServiceState::NotInstalled);
}
