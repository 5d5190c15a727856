#pragma once

#include "api/ApiError.h"

#include <QString>

#include <functional>
#include <optional>
#include <variant>

class QObject;

// Calls to the management server's agent-service API. Completions are called exactly once, on
// whichever thread the transport finishes; callers move their work to their own thread.
// A call is cancelled when its context, if any, is destroyed (in the thread that made the call):
// its completion is never called and its exchange with the server stops at once.
namespace ApiClient {

struct RegisterResult final {
    QString computerID;
    QString token;
    QString clientID;
    bool operator==(const RegisterResult&) const = default;
};

using RegisterOutcome = std::variant<RegisterResult, ApiError>;
using RegisterCompletion = std::function<void(const RegisterOutcome&)>;
// Empty on success.
using DeregisterCompletion = std::function<void(const std::optional<ApiError>&)>;

// The companion's version as sent to the server.
QString agentVersion();

// Registers this computer, or renews its token when existingComputerID is given.
void registerAgent(const QString& apiBaseUrl, const QString& username, const QString& password,
                   const QString& clientName, const QString& locationName,
                   const std::optional<QString>& existingComputerID, const QObject* context,
                   RegisterCompletion completion);

void deregister(const QString& apiBaseUrl, const QString& token, const QObject* context,
                DeregisterCompletion completion);

// The longest wait for data (30 s) and the longest exchange (60 s), unless a test shortens them.
void setTimeouts(int silenceMs, int deadlineMs);

} // namespace ApiClient
