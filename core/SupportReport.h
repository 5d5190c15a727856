#pragma once

#include "core/AgentConfig.h"
#include "core/Outcome.h"
#include "core/RunRecord.h"

#include <QDateTime>
#include <QList>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

#include <optional>
#include <utility>

// A plain-text report of what a technician asks about the app, the host, the agent service, its
// configuration and log, made when the user saves it. Gathering reads the facts; building turns
// them into text; redacting takes every secret out before the text is written.
namespace SupportReport {

using Rows = QList<std::pair<QString, QString>>;

// What only the app knows: its toolkit, its tray and how it sees the service.
struct AppFacts final {
    QString qtVersion;
    QString platformPlugin;      // xcb, wayland, offscreen, cocoa
    QString trayHost;            // "StatusNotifierItem", "XEmbed", "none"
    QString authenticationAgent; // whether one can answer the administrator prompts, and why
    QString serviceState;        // "Running", "Stopped", "Not Installed" or "Checking"
};

struct Facts final {
    QDateTime madeAt; // UTC
    AppFacts app;
    QString appVersion;
    QString sessionType; // XDG_SESSION_TYPE
    QString desktop;     // XDG_CURRENT_DESKTOP
    QString rootHelper;
    QString polkitPolicy;

    Rows host;

    QString unitFile;
    // The service manager's own view, or why it could not be read.
    Rows serviceManager;
    QString serviceManagerProblem;

    QString configPath;
    AgentConfig config; // as the app uses it
    QString configFile; // mode, owner and modification time, or that it is missing
    QString strictLoad;

    QStringList proxyVariables; // NAME=value, credentials removed

    QList<RecentEvent> events;

    QString logPath;
    std::optional<qint64> logSize;
    QStringList logLines;
};

// How many lines of the activity log a report shows.
inline constexpr qsizetype logLineCount = 200;

// Reads every fact now: the agent's through the current AgentEnvironment, the session's and the
// proxies from environment (whose PATH, after the environment's own folders, finds systemctl).
Facts gather(const AppFacts& app, const QProcessEnvironment& environment);
// The secrets to take out of a report: the stored token and this run's passwords and tokens.
QStringList secrets();

// The report's text, sections in a fixed order. Secrets are still in it.
QString build(const Facts& facts);
// Every occurrence of each secret, in any letter case, raw, percent-encoded or escaped as in
// JSON, replaced by "[redacted]"; then every control character but tab and line feed by U+FFFD.
QString redact(const QString& text, const QStringList& secrets);

// A proxy URL without its user name and password ("http://user:pw@host:3128" gives
// "http://host:3128", marked that something was removed).
QString withoutCredentials(const QString& url);
// "Thu 2025-03-06 09:00:00 UTC (for 2 h 5 min)" from systemd's timestamp and the monotonic
// clock's microseconds then and now; "never" when it never became active.
QString activeSince(const QString& timestamp, quint64 enteredUs, quint64 nowUs);
// "tavrel-agent-report-20250307-140509.txt", from a time in UTC.
QString fileName(const QDateTime& when);

// Writes the text as UTF-8 to path atomically, readable and writable by its owner only.
Outcome write(const QString& path, const QString& text);

} // namespace SupportReport
