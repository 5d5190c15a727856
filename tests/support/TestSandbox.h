#pragma once

#include "core/AgentConfig.h"
#include "core/AgentEnvironment.h"

#include <QtTest> // and with it Qt Core and the standard library's containers and functions

#include <sys/stat.h>
#include <unistd.h>

// The named child of a window, a menu or a dialog; fatal when there is none, so that a renamed view
// fails loudly.
template <typename T> T* child(const QObject& parent, const char* name) {
    auto* found = parent.findChild<T*>(QLatin1String(name));
    if (!found)
        qFatal("no %s named %s", T::staticMetaObject.className(), name);
    return found;
}

// Turns the event loop until the operation that start begins calls back, and returns what it gave:
// root operations and server calls never wait, tests do.
template <typename Result, typename Start> Result await(Start start) {
    std::optional<Result> result;
    QEventLoop loop;
    start([&](const Result& given) {
        result = given;
        loop.quit();
    });
    if (!result)
        loop.exec();
    return *result;
}

// A throw-away agent installation under a temporary directory, installed as the process's
// environment for as long as the object lives. Root operations run the helper unprivileged.
class TestSandbox final {
public:
    TestSandbox();
    ~TestSandbox();
    TestSandbox(const TestSandbox&) = delete;
    TestSandbox& operator=(const TestSandbox&) = delete;

    QString root() const { return dir.path(); }
    QString path(const QString& relative) const { return dir.filePath(relative); }
    const AgentEnvironment& environment() const { return agentEnvironment; }

    void writeConfig(const AgentConfig& config) { writeConfigBytes(config.toJson()); }
    void writeConfigBytes(const QByteArray& bytes) { writeFile(agentEnvironment.configPath, bytes); }
    QByteArray configBytes() const { return readFile(agentEnvironment.configPath); }
    void writeLog(const QByteArray& bytes) { writeFile(agentEnvironment.logPath, bytes); }
    void appendLog(const QByteArray& bytes) { writeFile(agentEnvironment.logPath, bytes, QIODevice::Append); }
    QByteArray logBytes() const { return readFile(agentEnvironment.logPath); }
    // The service definition file whose presence makes a stopped agent "Stopped".
    void setServiceDefinition(bool present);

    // A real process whose command line holds root/bin/tavrel_agent.py.
    bool startAgentProcess();
    void stopAgentProcess();
    qint64 agentPid() const { return agent ? agent->processId() : 0; }

    // Root operations are recorded ("service stop", "write-config", …) instead of run; a refused one
    // answers "Not authorized", or the reason given.
    void recordPrivilegedCommands(bool result = true,
                                  const QString& reason = QStringLiteral("Not authorized"));
    const QStringList& privilegedCommands() const { return *recorded; }
    // Changes the installed environment (another shell, privilege backend or process search).
    void changeEnvironment(const std::function<void(AgentEnvironment&)>& change);
    // Root operations through the stand-in for osascript or pkexec (tests/core/standins), which
    // answers as `answer` says ("cancel", "127", "dismissed", "noagent") and keeps its files in the
    // sandbox's root, made the current folder. Held, pkexec waits until release(), as it waits for
    // the administrator.
    void useStandin(PrivilegeMethod method, const QByteArray& answer = {}, bool held = false);
    static void release();
    // How often the pkexec stand-in was run: how often the administrator was asked.
    static int pkexecRuns() { return int(readFile(QStringLiteral("pkexec.runs")).count('\n')); }

    // The log lines written after `before` (the log's earlier content), each as "[time] [INFO] "
    // and its message with the time checked and taken out; nothing when anything else changed.
    std::optional<QStringList> appendedInfoLines(const QByteArray& before) const;

    // File helpers for tests; a failed write is fatal.
    static QByteArray readFile(const QString& path);
    static void writeFile(const QString& path, const QByteArray& bytes,
                          QIODevice::OpenMode mode = QIODevice::Truncate);
    // Every entry under folder, hidden ones too, with a link's target or a file's content; links
    // are not followed. Equal snapshots: nothing in the folder changed.
    static QStringList snapshot(const QString& folder);

private:
    QTemporaryDir dir;
    AgentEnvironment agentEnvironment;
    std::shared_ptr<QStringList> recorded = std::make_shared<QStringList>();
    std::unique_ptr<QProcess> agent;
};
