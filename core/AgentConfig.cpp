#include "core/AgentConfig.h"

#include "core/Logger.h"

#include "core/AgentEnvironment.h"
#include "core/Privileged.h"
#include "core/TextCheck.h"
#include "core/Version.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <array>

#include <sys/stat.h>

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
        .clientName = QString::fromLatin1(unassignedClientName),
        .locationName = {},
        .apiBaseUrl = QString::fromLatin1(defaultApiBaseUrl),
        .agentVersion = appVersion(),
    };
    return record;
}

std::optional<AgentConfig> AgentConfig::fromJson(const QByteArray& json, bool exactMembers) {
    // The parser takes a NUL for the end of its input and skips a byte-order mark; the agent's
    // reader does neither.
    if (!TextCheck::documentProblem(json).isEmpty())
        return std::nullopt;
    // Counts the top level's members as written, so that a member given twice is seen.
    std::size_t written = 0;
    const nlohmann::json::parser_callback_t countMembers =
        [&written](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
            if (depth == 1 && event == nlohmann::json::parse_event_t::key)
                ++written;
            return true;
        };
    const auto document = nlohmann::json::parse(json.constBegin(), json.constEnd(), countMembers, false);
    if (!document.is_object())
        return std::nullopt;
    if (exactMembers && (written != members.size() || document.size() != members.size()))
        return std::nullopt;
    AgentConfig config;
    for (const Member& member : members) {
        const auto found = document.find(member.key);
        if (found == document.end() || !found->is_string())
            return std::nullopt;
        config.*member.field = TextCheck::decode(found->get_ref<const std::string&>());
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
    return read().value_or(defaults());
}

std::optional<AgentConfig> AgentConfig::read() {
    QFile file(AgentEnvironment::current().configPath);
    if (!file.open(QIODevice::ReadOnly) || QFileInfo(file).isDir())
        return std::nullopt;
    return fromJson(file.readAll());
}

namespace {
// What keeps a record from being stored as it is (a lone surrogate), before anyone is asked for a
// password.
QString storeProblem(const AgentConfig& config, const QByteArray& json) {
    return AgentConfig::fromJson(json, true) == config
               ? QString()
               : QStringLiteral("a setting holds text that cannot be stored as it is");
}
} // namespace

void AgentConfig::save(const AgentConfig& config, QObject* context, OutcomeHandler done) {
    const QByteArray json = config.toJson();
    if (const QString problem = storeProblem(config, json); !problem.isEmpty())
        return refuseWithoutRunning(problem, context,
                                    [done](const RootResult& result) { done(result.outcome); });
    installConfiguration(json, context, std::move(done));
}

void AgentConfig::save(const AgentConfig& config, const QString& logMessage, QObject* context,
                       std::function<void(const StoreOutcome&)> done) {
    const QByteArray json = config.toJson();
    const QString line =
        Logger::formatLine(QDateTime::currentDateTimeUtc(), QStringLiteral("INFO"), logMessage);
    QString problem = storeProblem(config, json);
    if (problem.isEmpty())
        problem = Logger::writeProblem(line);
    if (!problem.isEmpty())
        return refuseWithoutRunning(problem, context, [done](const RootResult& result) {
            done({result.outcome, {}});
        });
    installConfigurationWithLogLine(json, line, context, std::move(done));
}

ConfigReader::Stamp ConfigReader::stampOf(const QString& path) {
    Stamp stamp{.path = path};
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return stamp;
#ifdef __APPLE__
    const timespec modified = info.st_mtimespec, changed = info.st_ctimespec;
#else
    const timespec modified = info.st_mtim, changed = info.st_ctim;
#endif
    const auto ns = [](const timespec& time) {
        return qint64(time.tv_sec) * 1'000'000'000 + time.tv_nsec;
    };
    stamp.exists = true;
    stamp.device = quint64(info.st_dev);
    stamp.inode = quint64(info.st_ino);
    stamp.size = qint64(info.st_size);
    stamp.modified = ns(modified);
    stamp.changed = ns(changed);
    return stamp;
}

AgentConfig ConfigReader::load() {
    const Stamp before = stampOf(AgentEnvironment::current().configPath);
    if (settled && *settled == before)
        return last;
    const qint64 readAt = QDateTime::currentMSecsSinceEpoch() * 1'000'000;
    last = AgentConfig::load();
    // The file system stamps changes with a coarse clock: one within the same tick as this read
    // would leave the stamp as it is. Only a stamp older than a second is trusted.
    constexpr qint64 margin = 1'000'000'000;
    const bool old = !before.exists || std::max(before.modified, before.changed) < readAt - margin;
    settled = old ? std::optional(before) : std::nullopt;
    return last;
}
