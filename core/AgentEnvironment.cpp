#include "core/AgentEnvironment.h"

#include <QDir>
#include <QFileInfo>

#include <unistd.h>

namespace {
const QString agentDirectory = QStringLiteral("/var/tavrel/agentservice");
const QString helperName = QStringLiteral("tavrel-agent-helper");

// The agent's own files are at the same place on every system.
AgentEnvironment withAgentFiles() {
    AgentEnvironment env;
    env.configPath = agentDirectory + QStringLiteral("/config.json");
    env.logPath = agentDirectory + QStringLiteral("/activity.log");
    return env;
}

AgentEnvironment& installed() {
    static AgentEnvironment environment = AgentEnvironment::production();
    return environment;
}
} // namespace

QString installedHelperProgram() {
    return QStringLiteral(TAVREL_HELPER_INSTALL_PATH);
}

QString helperBesideProgram() {
    // The running program's own folder, known before any application object exists.
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return self.isEmpty() ? QString() : QFileInfo(self).dir().filePath(helperName);
}

AgentEnvironment AgentEnvironment::macOS() {
    AgentEnvironment env = withAgentFiles();
    env.serviceDefinitionName = QStringLiteral("com.tavrel.agentservice.plist");
    env.serviceDefinitionFolders = {QStringLiteral("/Library/LaunchDaemons")};
    env.processSearchCommand = QStringLiteral("pgrep -f tavrel_agent.py 2>/dev/null");
    env.startServiceCommand = QStringLiteral(
        "launchctl bootstrap system /Library/LaunchDaemons/com.tavrel.agentservice.plist 2>/dev/null || "
        "launchctl kickstart system/com.tavrel.agentservice");
    env.stopServiceCommand = QStringLiteral("launchctl bootout system/com.tavrel.agentservice");
    env.restartServiceCommand =
        QStringLiteral("launchctl kickstart -k system/com.tavrel.agentservice 2>/dev/null || "
                       "(launchctl bootout system/com.tavrel.agentservice 2>/dev/null; sleep 3; "
                       "launchctl bootstrap system /Library/LaunchDaemons/com.tavrel.agentservice.plist)");
    env.privilegeMethod = PrivilegeMethod::AppleScript;
    env.privilegeProgram = QStringLiteral("/usr/bin/osascript");
    return env;
}

AgentEnvironment AgentEnvironment::linuxSystemd() {
    AgentEnvironment env = withAgentFiles();
    env.serviceUnit = QStringLiteral("com.tavrel.agentservice.service");
    env.serviceDefinitionName = env.serviceUnit;
    // systemd's system unit folders: the administrator's, the runtime's, and those of packages
    // (/lib stays apart from /usr/lib where the two are not merged).
    env.serviceDefinitionFolders = {
        QStringLiteral("/etc/systemd/system"),           QStringLiteral("/run/systemd/system"),
        QStringLiteral("/usr/local/lib/systemd/system"), QStringLiteral("/usr/lib/systemd/system"),
        QStringLiteral("/lib/systemd/system"),
    };
    env.processSearchPattern = QStringLiteral("tavrel_agent.py");
    // Both by their absolute paths: a program of the same user put first on PATH, or a helper
    // in a folder the user can write to, would be handed the administrator's password.
    env.helperProgram = installedHelperProgram();
    if (::geteuid() == 0) {
        env.privilegeMethod = PrivilegeMethod::Direct;
    } else {
        env.privilegeMethod = PrivilegeMethod::Pkexec;
        env.privilegeProgram = QStringLiteral("/usr/bin/pkexec");
    }
    return env;
}

AgentEnvironment AgentEnvironment::production() {
#ifdef Q_OS_MACOS
    return macOS();
#else
    return linuxSystemd();
#endif
}

AgentEnvironment AgentEnvironment::sandbox(const QString& root, const QString& helper) {
    const QString base = QDir(root).absolutePath();
    AgentEnvironment env = linuxSystemd();
    env.configPath = base + QStringLiteral("/var/tavrel/agentservice/config.json");
    env.logPath = base + QStringLiteral("/var/tavrel/agentservice/activity.log");
    env.serviceDefinitionFolders = {base + QStringLiteral("/etc/systemd/system")};
#ifdef Q_OS_MACOS
    // No /proc there: the shell search, narrowed to the sandbox's agent.
    env.processSearchPattern.clear();
    QString quotedPattern = base + QStringLiteral("/bin/[t]avrel_agent.py");
    quotedPattern.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    env.processSearchCommand = QStringLiteral("pgrep -f '") + quotedPattern + QStringLiteral("' 2>/dev/null");
#else
    env.processSearchPattern = base + QStringLiteral("/bin/tavrel_agent.py");
#endif
    env.pathPrefix = {base + QStringLiteral("/bin")};
    env.privilegeMethod = PrivilegeMethod::Direct;
    env.privilegeProgram.clear();
    env.helperProgram = helper.isEmpty() ? helperBesideProgram() : helper;
    env.helperRoot = base;
    return env;
}

QStringList AgentEnvironment::serviceDefinitionPaths() const {
    QStringList paths;
    for (const QString& folder : serviceDefinitionFolders)
        paths.append(folder + QLatin1Char('/') + serviceDefinitionName);
    return paths;
}

const AgentEnvironment& AgentEnvironment::current() {
    return installed();
}

void AgentEnvironment::install(AgentEnvironment environment) {
    installed() = std::move(environment);
}
