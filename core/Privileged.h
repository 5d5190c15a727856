#pragma once

#include "core/AgentEnvironment.h"
#include "core/Outcome.h"

#include <QByteArray>
#include <QString>

enum class ServiceCommand { Start, Stop, Restart };

// The helper's verbs and the most it reads of each payload.
namespace HelperVerb {
inline constexpr char service[] = "service";
inline constexpr char writeConfig[] = "write-config";
inline constexpr char appendLog[] = "append-log";
inline constexpr qsizetype maxConfigBytes = 64 * 1024;
inline constexpr qsizetype maxLogLineBytes = 8 * 1024;
} // namespace HelperVerb

// The three operations on root-owned state. Each blocks until the administrator has answered the
// prompt and the operation has ended, and reports how it ended.
Outcome runServiceCommand(ServiceCommand command);
// Replaces the configuration file with these bytes, mode 644.
Outcome installConfiguration(const QByteArray& json);
// Appends the line and a line feed to the activity log.
Outcome appendLogLine(const QString& line);

RootRequest serviceRequest(ServiceCommand command);
RootRequest configurationRequest(const QByteArray& json);
RootRequest logLineRequest(const QString& line);

// Runs a request through the current environment's backend. A failure also writes one line to
// standard error.
Outcome runPrivileged(const RootRequest& request);

// macOS: the root shell line that carries out a request. The service commands are the launchctl
// lines as they stand; the configuration and the log line travel inside the line as single-quoted
// printf arguments, so no file of the user's is ever read by root.
QString rootCommandLine(const RootRequest& request, const AgentEnvironment& env);

// The reason a person can read, from what a backend wrote to standard error.
QString readableFailure(PrivilegeMethod method, const QByteArray& standardError);
