#pragma once

#include "api/ApiClient.h"
#include "core/AgentConfig.h"

#include <QString>

// What the setup sheet's flows read from its fields and write to the configuration, free of
// widgets so that every rule can be checked by table.
namespace SetupForm {

// Removes leading and trailing blanks: the tab and every Unicode space separator. Line breaks
// are not blanks and stay.
QString trimWhitespace(const QString& text);
// Blank client names file the computer under "Unassigned".
QString normaliseClientName(const QString& text);
// Blanks first, then every leading and trailing "/".
QString normaliseApiUrl(const QString& text);

// The registration form's five fields as they are sent.
struct RegistrationInput final {
    QString username;     // trimmed
    QString password;     // as typed
    QString clientName;   // normalised
    QString locationName; // trimmed
    QString apiBaseUrl;   // trimmed of blanks, then of slashes
    bool operator==(const RegistrationInput&) const = default;
};

RegistrationInput readRegistration(const QString& username, const QString& password,
                                   const QString& clientName, const QString& locationName,
                                   const QString& apiUrl);
// The first failing check's message, or an empty string when the input may be sent.
QString registrationProblem(const RegistrationInput& input);
// The user name and password checks that registration and re-authentication share.
QString credentialsProblem(const QString& trimmedUsername, const QString& password);
// Re-authentication renews the token of a computer that has an ID.
QString missingComputerIDMessage();

// The records each flow stores.
AgentConfig registeredRecord(const ApiClient::RegisterResult& result, const RegistrationInput& sent,
                             const AgentConfig& current);
AgentConfig savedRecord(const AgentConfig& current, const QString& clientName, const QString& locationName,
                        const QString& apiUrl);
AgentConfig deregisteredRecord(const AgentConfig& current);
AgentConfig reauthenticatedRecord(const AgentConfig& current, const ApiClient::RegisterResult& result);

// The activity log's INFO messages.
QString registrationLogMessage(const QString& computerID, const QString& clientName,
                               const QString& locationName);
QString reauthLogMessage(const QString& computerID);

} // namespace SetupForm
