#pragma once

#include <QByteArray>
#include <QString>

#include <optional>

inline constexpr char defaultApiBaseUrl[] = "https://api.tavrel.com/api/v1/agentservice";

// The agent's identity and server settings, as stored in its config.json.
struct AgentConfig final {
    QString computerID;
    QString token;
    QString clientID;
    QString clientName;
    QString locationName;
    QString apiBaseUrl;
    QString agentVersion;

    bool isRegistered() const;
    bool operator==(const AgentConfig&) const = default;

    static const AgentConfig& defaults();
    // The file's record, or defaults() when it is missing, unreadable or not all seven strings.
    static AgentConfig load();
    // Replaces the file through a privileged install. Reports nothing.
    static void save(const AgentConfig& config);

    // Strict: a JSON object with all seven members as strings, else nothing.
    static std::optional<AgentConfig> fromJson(const QByteArray& json);
    // Pretty-printed, the seven members in field order.
    QByteArray toJson() const;
    // The root shell line that installs a staged file over the configuration, mode 644.
    static QString installCommand(const QString& stagedPath, const QString& configPath);
};
