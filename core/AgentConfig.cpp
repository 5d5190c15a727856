#include "core/AgentConfig.h"

#include "core/AgentEnvironment.h"
#include "core/Shell.h"
#include "core/Version.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <nlohmann/json.hpp>

#include <array>

namespace {

using Field = QString AgentConfig::*;
struct Member {
    const char* key;
    Field field;
};
// The file's members, in the order they are written.
const std::array<Member, 7> members{{
    {"computerID", &AgentConfig::computerID},
    {"token", &AgentConfig::token},
    {"clientID", &AgentConfig::clientID},
    {"clientName", &AgentConfig::clientName},
    {"locationName", &AgentConfig::locationName},
    {"apiBaseUrl", &AgentConfig::apiBaseUrl},
    {"agentVersion", &AgentConfig::agentVersion},
}};

} // namespace

bool AgentConfig::isRegistered() const {
    return !computerID.isEmpty() && !token.isEmpty();
}

const AgentConfig& AgentConfig::defaults() {
    static const AgentConfig record{
        .computerID = {},
        .token = {},
        .clientID = {},
        .clientName = QStringLiteral("Unassigned"),
        .locationName = {},
        .apiBaseUrl = QString::fromLatin1(defaultApiBaseUrl),
        .agentVersion = appVersion(),
    };
    return record;
}

std::optional<AgentConfig> AgentConfig::fromJson(const QByteArray& json) {
    const auto document = nlohmann::json::parse(json.constBegin(), json.constEnd(), nullptr, false);
    if (!document.is_object())
        return std::nullopt;
    AgentConfig config;
    for (const Member& member : members) {
        const auto found = document.find(member.key);
        if (found == document.end() || !found->is_string())
            return std::nullopt;
        config.*member.field = QString::fromStdString(found->get<std::string>());
    }
    return config;
}

QByteArray AgentConfig::toJson() const {
    nlohmann::ordered_json document = nlohmann::ordered_json::object();
    for (const Member& member : members)
        document[member.key] = (this->*member.field).toStdString();
    const std::string text = document.dump(2, ' ', false, nlohmann::json::error_handler_t::replace);
    return QByteArray::fromStdString(text) + '\n';
}

AgentConfig AgentConfig::load() {
    QFile file(AgentEnvironment::current().configPath);
    if (!file.open(QIODevice::ReadOnly) || QFileInfo(file).isDir())
        return defaults();
    return fromJson(file.readAll()).value_or(defaults());
}

QString AgentConfig::installCommand(const QString& stagedPath, const QString& configPath) {
    // The copy lands in a fresh file beside config.json, so the final rename is atomic and
    // nothing in a world-writable folder is ever moved or followed by root.
    const QString directory = QFileInfo(configPath).path();
    return QStringLiteral("t=$(mktemp ") + shellQuote(directory + QStringLiteral("/.config.json.XXXXXX")) +
           QStringLiteral(") && cat ") + shellQuote(stagedPath) +
           QStringLiteral(" > \"$t\" && chmod 644 \"$t\" && mv -f \"$t\" ") + shellQuote(configPath) +
           QStringLiteral(" || { [ -n \"$t\" ] && rm -f \"$t\"; exit 1; }");
}

void AgentConfig::save(const AgentConfig& config) {
    const AgentEnvironment& env = AgentEnvironment::current();
    // Exclusive creation under an unpredictable name; removed again whatever happens below.
    QTemporaryFile staged(env.tempDirectory + QStringLiteral("/tavrel_config_XXXXXX.json"));
    if (!staged.open())
        return;
    const QByteArray bytes = config.toJson();
    if (staged.write(bytes) != bytes.size() || !staged.flush())
        return;
    staged.close();
    runPrivileged(installCommand(staged.fileName(), env.configPath));
}
