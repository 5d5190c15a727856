#pragma once

#include "core/Privileged.h"

#include <QByteArray>
#include <QString>

#include <optional>

inline constexpr char defaultApiBaseUrl[] = "https://api.tavrel.com/api/v1/agentservice";
// The client a computer is filed under when none is named.
inline constexpr char unassignedClientName[] = "Unassigned";

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
    // The file's record, or nothing when it cannot be read as one: for writers, which must not
    // replace a record they could not read.
    static std::optional<AgentConfig> read();
    // Replaces the file through the administrator-authorised install; done says how that ended
    // (from the event loop, unless context is gone by then). A record that would not read back
    // exactly is refused before anything runs.
    static void save(const AgentConfig& config, QObject* context, OutcomeHandler done);
    // The same, and then an "INFO" line with message in the activity log, in one authorised run; a
    // line the helper would refuse is refused before anything runs too.
    static void save(const AgentConfig& config, const QString& logMessage, QObject* context,
                     std::function<void(const StoreOutcome&)> done);

    // Strict: one JSON object and nothing after it, UTF-8 without a byte-order mark or a NUL byte,
    // with all seven members as strings, else nothing. Values are kept exactly. Other members are
    // ignored, unless exactMembers asks for the seven and nothing else, each once.
    static std::optional<AgentConfig> fromJson(const QByteArray& json, bool exactMembers = false);
    // Pretty-printed, the seven members in field order.
    QByteArray toJson() const;
};

// AgentConfig::load() for a caller that looks again and again: the file is read only when it may
// have changed since the last read (its path, size, inode or times differ, or it changed within a
// second of that read, finer than the file system's clock tells apart).
class ConfigReader final {
public:
    AgentConfig load();

private:
    struct Stamp final {
        QString path;
        bool exists = false;
        quint64 device = 0, inode = 0;
        qint64 size = 0, modified = 0, changed = 0; // ns since the epoch
        bool operator==(const Stamp&) const = default;
    };
    static Stamp stampOf(const QString& path);

    std::optional<Stamp> settled; // the stamp of the last read, when no later change can share it
    AgentConfig last;
};
