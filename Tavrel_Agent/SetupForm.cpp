#include "Tavrel_Agent/SetupForm.h"

namespace {
bool isBlank(QChar c) {
    return c == u'\t' || c.category() == QChar::Separator_Space;
}

QString trimmed(const QString& text, bool (*strip)(QChar)) {
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && strip(text.at(begin)))
        ++begin;
    while (end > begin && strip(text.at(end - 1)))
        --end;
    return text.mid(begin, end - begin);
}
} // namespace

QString SetupForm::trimWhitespace(const QString& text) {
    return trimmed(text, isBlank);
}

QString SetupForm::normaliseClientName(const QString& text) {
    const QString name = trimWhitespace(text);
    return name.isEmpty() ? QString::fromLatin1(unassignedClientName) : name;
}

QString SetupForm::normaliseApiUrl(const QString& text) {
    return trimmed(trimWhitespace(text), [](QChar c) { return c == u'/'; });
}

SetupForm::RegistrationInput SetupForm::readRegistration(const QString& username, const QString& password,
                                                         const QString& clientName,
                                                         const QString& locationName, const QString& apiUrl) {
    return {trimWhitespace(username), password, normaliseClientName(clientName), trimWhitespace(locationName),
            normaliseApiUrl(apiUrl)};
}

QString SetupForm::registrationProblem(const RegistrationInput& input) {
    if (QString problem = credentialsProblem(input.username, input.password); !problem.isEmpty())
        return problem;
    if (input.apiBaseUrl.isEmpty())
        return QStringLiteral("API URL is required.");
    return {};
}

QString SetupForm::credentialsProblem(const QString& trimmedUsername, const QString& password) {
    if (trimmedUsername.isEmpty())
        return QStringLiteral("Username is required.");
    if (password.isEmpty())
        return QStringLiteral("Password is required.");
    return {};
}

QString SetupForm::missingComputerIDMessage() {
    return QStringLiteral("No Computer ID found \u2014 use Setup to register.");
}

AgentConfig SetupForm::registeredRecord(const ApiClient::RegisterResult& result,
                                        const RegistrationInput& sent, const AgentConfig& current) {
    return {result.computerID, result.token,    result.clientID,     sent.clientName,
            sent.locationName, sent.apiBaseUrl, current.agentVersion};
}

AgentConfig SetupForm::savedRecord(const AgentConfig& current, const QString& clientName,
                                   const QString& locationName, const QString& apiUrl) {
    AgentConfig record = current;
    record.clientName = normaliseClientName(clientName);
    record.locationName = trimWhitespace(locationName);
    record.apiBaseUrl = normaliseApiUrl(apiUrl);
    return record;
}

AgentConfig SetupForm::deregisteredRecord(const AgentConfig& current) {
    AgentConfig record = current;
    record.computerID.clear();
    record.token.clear();
    record.clientID.clear();
    record.clientName = QString::fromLatin1(unassignedClientName);
    record.locationName.clear();
    return record;
}

AgentConfig SetupForm::reauthenticatedRecord(const AgentConfig& current,
                                             const ApiClient::RegisterResult& result) {
    AgentConfig record = current;
    record.token = result.token;
    record.clientID = result.clientID;
    return record;
}

QString SetupForm::registrationLogMessage(const QString& computerID, const QString& clientName,
                                          const QString& locationName) {
    return QStringLiteral("Agent registered successfully. ComputerID: ") + computerID +
           QStringLiteral(" Client: ") + clientName + QStringLiteral(" Location: ") + locationName;
}

QString SetupForm::reauthLogMessage(const QString& computerID) {
    return QStringLiteral("Re-authentication successful. Token updated for ComputerID: ") + computerID;
}
