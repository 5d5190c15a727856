#pragma once

#include "core/Outcome.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <functional>

// How an operation on root-owned state gets administrator rights.
enum class PrivilegeMethod {
    AppleScript, // macOS: osascript "do shell script … with administrator privileges"
    Pkexec,      // Linux: pkexec HELPER VERB, one polkit action per verb
    Direct,      // HELPER VERB as we are: already root, or a sandbox that needs no rights
};

// One root operation as the helper takes it: its verb (and the service command) as arguments, its
// payload on standard input. Nothing in it names a path.
struct RootRequest final {
    QStringList arguments; // {"service", "restart"}, {"write-config"} or {"append-log"}
    QByteArray input;      // the configuration's bytes, or the log line and its line feed
    bool operator==(const RootRequest&) const = default;
};

// Every place where the companion touches the agent: its files, its service, the process search,
// and how root operations are run. Production code uses one fixed set per operating system; tests
// and the demo install a sandbox whose paths all lie under one directory.
struct AgentEnvironment final {
    QString configPath;
    QString logPath;
    // The service's definition (launchd property list, systemd unit file) under its name in
    // any of the folders the service manager loads definitions from.
    QString serviceDefinitionName;
    QStringList serviceDefinitionFolders;
    // Linux: the agent runs while a process's command line contains processSearchPattern, read
    // from /proc in-process. Where it is empty (macOS), processSearchCommand runs through the
    // shell and any process number it prints means the agent runs.
    QString processSearchPattern;
    QString processSearchCommand;

    // macOS: the launchctl command lines, run as they stand through osascript.
    QString startServiceCommand;
    QString stopServiceCommand;
    QString restartServiceCommand;
    // Linux: the systemd unit that the helper's service verb drives.
    QString serviceUnit;

    QString shellProgram = QStringLiteral("/bin/bash"); // runs runShell's command lines
    QStringList pathPrefix;                             // folders put first on PATH for our commands

    PrivilegeMethod privilegeMethod = PrivilegeMethod::Direct;
    QString privilegeProgram; // osascript or pkexec
    QString helperProgram;    // tavrel-agent-helper (Linux)
    QString helperRoot;       // a sandbox's root, passed to the helper as --root

    // When set, root operations are handed here instead of to the backend (tests).
    std::function<RootResult(const RootRequest&)> privilegedOverride;

    static AgentEnvironment macOS();
    static AgentEnvironment linuxSystemd();
    // The set for the operating system we were built for.
    static AgentEnvironment production();
    // Everything under root: config and log in root/var/tavrel/agentservice, the unit in
    // root/etc/systemd/system only, root/bin first on PATH, the helper run unprivileged with
    // --root root (helper, else the one built beside this program), and only root/bin/tavrel_agent.py counts.
    static AgentEnvironment sandbox(const QString& root, const QString& helper = {});

    // The set in use by this process. Production until install() replaces it.
    static const AgentEnvironment& current();

    // Where the service definition would lie in each of its folders.
    QStringList serviceDefinitionPaths() const;
    static void install(AgentEnvironment environment);
};

// Where the helper is installed: the only one the production app runs.
QString installedHelperProgram();
// The helper built next to the running program (a build tree), which a sandbox runs by default.
QString helperBesideProgram();
