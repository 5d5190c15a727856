#include "api/ApiClient.h"

#include "api/ApiTransport.h"
#include "core/AgentConfig.h"
#include "core/RunRecord.h"
#include "core/SystemInfo.h"
#include "core/TextCheck.h"
#include "core/Version.h"

#include <string>

namespace {

using Json = ApiTransport::Json;

std::string utf8(const QString& text) {
    return text.toStdString();
}

std::optional<QString> stringMember(const Json& object, const char* key) {
    const auto it = object.find(key);
    if (it == object.end() || !it->is_string())
        return std::nullopt;
    return TextCheck::decode(it->get_ref<const std::string&>()); // a leading U+FEFF stays
}

// Every call's end goes into this run's record; the server's tokens are secrets from then on.
void recordCall(const QString& operation, const ApiError* error) {
    RunRecord::record(QStringLiteral("server ") + operation, error == nullptr,
                      error ? error->errorDescription() : QString());
}

} // namespace

namespace ApiClient {

QString agentVersion() {
    return appVersion();
}

void setTimeouts(int silenceMs, int deadlineMs) {
    ApiTransport::setTimeouts(silenceMs, deadlineMs);
}

void registerAgent(const QString& apiBaseUrl, const QString& username, const QString& password,
                   const QString& clientName, const QString& locationName,
                   const std::optional<QString>& existingComputerID, const QObject* context,
                   RegisterCompletion completion) {
#ifdef Q_OS_MACOS
    const char* const osType = "Mac";
#else
    const char* const osType = "Linux";
#endif
    Json body = Json::object();
    body["username"] = utf8(username);
    body["password"] = utf8(password);
    body["computerName"] = utf8(SystemInfo::computerName());
    body["clientName"] = utf8(clientName.isEmpty() ? QString::fromLatin1(unassignedClientName) : clientName);
    body["locationName"] = utf8(locationName);
    body["ipAddress"] = utf8(SystemInfo::ipAddress());
    body["lastUsername"] = utf8(SystemInfo::userName());
    body["OS"] = utf8(SystemInfo::osVersion());
    body["osType"] = osType;
    body["UTC_Offset"] = utf8(SystemInfo::utcOffset());
    body["agentVersion"] = utf8(agentVersion());
    if (existingComputerID)
        body["computerID"] = utf8(*existingComputerID);
    RunRecord::rememberSecret(password);

    const bool renewing = existingComputerID.has_value();
    RegisterCompletion recorded = [completion = std::move(completion),
                                   renewing](const RegisterOutcome& outcome) {
        const ApiError* error = std::get_if<ApiError>(&outcome);
        if (!error)
            RunRecord::rememberSecret(std::get<RegisterResult>(outcome).token);
        recordCall(renewing ? QStringLiteral("register/ (renewing the token)") : QStringLiteral("register/"),
                   error);
        completion(outcome);
    };
    ApiTransport::postJSON(
        QStringLiteral("register/"), apiBaseUrl, body, context,
        [completion = std::move(recorded), renewing](const ApiTransport::PostOutcome& outcome) {
            if (const ApiError* error = std::get_if<ApiError>(&outcome)) {
                completion(*error);
                return;
            }
            const auto& response = std::get<ApiTransport::Response>(outcome);
            const std::optional<QString> computerID = stringMember(response.object, "computerID");
            const std::optional<QString> token = stringMember(response.object, "token");
            if (response.statusCode == 200 && computerID && token) {
                // An empty identity registers nothing: the agent would count as unregistered. A
                // renewal keeps the stored computer ID, so only its token must be there.
                if (token->isEmpty() || (!renewing && computerID->isEmpty())) {
                    completion(ApiError::serverError(
                        200, renewing ? QStringLiteral("The server's answer did not include a token.")
                                      : QStringLiteral("The server's answer did not include a computer ID "
                                                       "and a token.")));
                    return;
                }
                completion(RegisterResult{*computerID, *token,
                                          stringMember(response.object, "clientID").value_or(QString())});
                return;
            }
            const QString message =
                stringMember(response.object, "message")
                    .value_or(QStringLiteral("Registration failed (HTTP %1).").arg(response.statusCode));
            completion(ApiError::serverError(response.statusCode, message));
        });
}

void deregister(const QString& apiBaseUrl, const QString& token, const QObject* context,
                DeregisterCompletion completion) {
    Json body = Json::object();
    body["token"] = utf8(token);
    RunRecord::rememberSecret(token);
    // Any JSON object answer counts: the caller resets the identity locally either way.
    ApiTransport::postJSON(QStringLiteral("deregister/"), apiBaseUrl, body, context,
                           [completion = std::move(completion)](const ApiTransport::PostOutcome& outcome) {
                               const ApiError* error = std::get_if<ApiError>(&outcome);
                               recordCall(QStringLiteral("deregister/"), error);
                               if (error)
                                   completion(*error);
                               else
                                   completion(std::nullopt);
                           });
}

} // namespace ApiClient
