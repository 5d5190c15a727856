#include "core/ServiceControl.h"

#include "core/AgentEnvironment.h"
#include "core/Shell.h"

#include <QFileInfo>

QString getAgentServiceStatus() {
    const AgentEnvironment& env = AgentEnvironment::current();
    const ShellResult search = runShell(env.processSearchCommand);
    if (search.exitCode == 0 && !search.output.trimmed().isEmpty())
        return QString::fromLatin1(ServiceState::Running);
    return QString::fromLatin1(QFileInfo::exists(env.serviceDefinitionPath) ? ServiceState::Stopped
                                                                            : ServiceState::NotInstalled);
}
