#pragma once

#include "core/AgentEnvironment.h"
#include "core/Outcome.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <functional>

enum class ServiceCommand { Start, Stop, Restart };

// The helper's verbs and the most it reads of each payload.
namespace HelperVerb {
inline constexpr char service[] = "service";
inline constexpr char writeConfig[] = "write-config";
inline constexpr char appendLog[] = "append-log";
// write-config's second form: the log line, a line feed, then the configuration. One run, and so
// one authorisation, stores a registration and writes its line.
inline constexpr char withLogLine[] = "with-log";
inline constexpr qsizetype maxConfigBytes = 64 * 1024;
inline constexpr qsizetype maxLogLineBytes = 8 * 1024;
// The exit status of a write-config with-log run that stored the configuration but could not
// write the line.
inline constexpr int logLineFailedStatus = 3;
} // namespace HelperVerb

// How storing a configuration with its log line ended: the store's outcome, and the line's once
// the store has succeeded.
struct StoreOutcome final {
    Outcome stored;
    Outcome logged;
};

using OutcomeHandler = std::function<void(const Outcome&)>;

// Root operations never wait: each starts the backend and returns at once, and its handler runs
// from the event loop once the administrator has answered and the operation has ended, unless
// context is gone by then (the operation itself still runs to its end). Only one runs at a time;
// while one runs, another is refused.
void runServiceCommand(ServiceCommand command, QObject* context, OutcomeHandler done);
// Replaces the configuration file with these bytes, mode 644.
void installConfiguration(const QByteArray& json, QObject* context, OutcomeHandler done);
// Replaces the configuration, then appends the line and a line feed to the activity log, in one
// authorised run.
void installConfigurationWithLogLine(const QByteArray& json, const QString& line, QObject* context,
                                     std::function<void(const StoreOutcome&)> done);
// Appends the line and a line feed to the activity log.
void appendLogLine(const QString& line, QObject* context, OutcomeHandler done);

RootRequest serviceRequest(ServiceCommand command);
RootRequest configurationRequest(const QByteArray& json);
RootRequest configurationWithLogLineRequest(const QByteArray& json, const QString& line);
RootRequest logLineRequest(const QString& line);

// What pkexec needs where the session has no polkit authentication agent of its own (a bare window
// manager, a kiosk, a desktop whose agent crashed): one that the app registers for its own process
// only, for the length of one operation. polkit prefers an agent of the process to the session's,
// so it is lent only after pkexec has found none.
class OwnAuthenticationAgent {
public:
    virtual ~OwnAuthenticationAgent() = default;
    // Registers the agent with polkit; done gets whether that worked, from the event loop.
    virtual void acquire(std::function<void(const Outcome&)> done) = 0;
    virtual void release() = 0;
};
// The app's agent (none: pkexec's own failure stands).
void setOwnAuthenticationAgent(OwnAuthenticationAgent* agent);

// The reasons of a root operation that the administrator cancelled, and of one for which no
// password could be asked at all.
QString cancelledReason();
QString noAuthenticationAgentReason();

// Starts a request through the current environment's backend, as above. A failure also writes one
// line to standard error.
void runPrivileged(const RootRequest& request, QObject* context, std::function<void(const RootResult&)> done);

// Ends a root operation that was refused before it started, as one that ran would: done gets the
// failure from the event loop, unless context is gone by then.
void refuseWithoutRunning(const QString& reason, QObject* context,
                          std::function<void(const RootResult&)> done);

// Whether a root operation is running, and when that changes. Controls that start one are
// disabled meanwhile.
class RootActivity final : public QObject {
    Q_OBJECT
public:
    static RootActivity& instance();
    bool running() const { return active; }
    // Waits for the running operation to end (quitting); its handler still runs from the event
    // loop afterwards.
    void waitUntilIdle();

Q_SIGNALS:
    void runningChanged(bool running);

private:
    friend class RootRun;
    void setRunning(bool running);
    bool active = false;
};

// macOS: the root shell line that carries out a request. The service commands are the launchctl
// lines as they stand; the configuration and the log line travel inside the line as single-quoted
// printf arguments, so no file of the user's is ever read by root.
QString rootCommandLine(const RootRequest& request, const AgentEnvironment& env);

// The reason a person can read, from what a backend wrote to standard error.
QString readableFailure(PrivilegeMethod method, const QByteArray& standardError);
// osascript's exit status of the failed shell line ("… (3)"), else -1.
int appleScriptExitStatus(const QByteArray& standardError);
