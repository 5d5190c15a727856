#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// How a command line gets administrator rights.
enum class PrivilegeMethod {
    AppleScript, // osascript "do shell script … with administrator privileges" (macOS)
    Pkexec,      // pkexec /bin/sh -c LINE (Linux, not root)
    Direct,      // /bin/sh -c LINE: already root, or a sandbox that needs no rights
};

// Every place where the companion touches the agent: its files, its service commands, the
// process search, and how commands are run. Production code uses one fixed set per operating
// system; tests and the demo install a sandbox whose paths all lie under one directory.
struct AgentEnvironment final {
    QString configPath;
    QString logPath;
    QString serviceDefinitionPath; // launchd property list or systemd unit
    // Linux: the agent runs while a process's command line contains processSearchPattern, read
    // from /proc in-process. Where it is empty (macOS), processSearchCommand runs through the
    // shell and any process number it prints means the agent runs.
    QString processSearchPattern;
    QString processSearchCommand;
    QString startServiceCommand;
    QString stopServiceCommand;
    QString restartServiceCommand;

    QString tempDirectory;                              // where a new configuration is staged
    QString shellProgram = QStringLiteral("/bin/bash"); // runs runShell's command lines
    QStringList pathPrefix;                             // folders put first on PATH for our commands

    PrivilegeMethod privilegeMethod = PrivilegeMethod::Direct;
    QString privilegeProgram; // osascript or pkexec

    // When set, runPrivileged hands its command line here instead of to the backend (tests).
    std::function<bool(const QString&)> privilegedOverride;

    static AgentEnvironment macOS();
    static AgentEnvironment linuxSystemd();
    // The set for the operating system we were built for.
    static AgentEnvironment production();
    // Everything under root: config and log in root/var/tavrel/agentservice, the unit in
    // root/etc/systemd/system, staging in root/tmp, root/bin first on PATH, privileged
    // commands run unprivileged through /bin/sh, and only root/bin/tavrel_agent.py counts.
    static AgentEnvironment sandbox(const QString& root);

    // The set in use by this process. Production until install() replaces it.
    static const AgentEnvironment& current();
    static void install(AgentEnvironment environment);
};
