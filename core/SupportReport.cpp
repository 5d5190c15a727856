#include "core/SupportReport.h"

#include "core/AgentEnvironment.h"
#include "core/Logger.h"
#include "core/SystemInfo.h"
#include "core/TextCheck.h"
#include "core/Version.h"

#include <QBitArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QSysInfo>
#include <QUrl>

#include <nlohmann/json.hpp>

#include <variant>

#include <sys/stat.h>
#include <time.h>

namespace {

// Where polkitd reads the actions of our helper from.
const QString polkitPolicyPath = QStringLiteral("/usr/share/polkit-1/actions/com.tavrel.agent.policy");
// The longest a read of the service manager may take; it answers at once when it works.
constexpr int serviceManagerWaitMs = 5000;
const QStringList proxyNames = {
    QStringLiteral("http_proxy"),  QStringLiteral("HTTP_PROXY"), QStringLiteral("https_proxy"),
    QStringLiteral("HTTPS_PROXY"), QStringLiteral("ftp_proxy"),  QStringLiteral("FTP_PROXY"),
    QStringLiteral("all_proxy"),   QStringLiteral("ALL_PROXY"),  QStringLiteral("no_proxy"),
    QStringLiteral("NO_PROXY"),
};
const QString redactedMark = QStringLiteral("[redacted]");

QString iso(const QDateTime& when) {
    return when.toUTC().toString(Qt::ISODate);
}

QString orNotSet(const QString& value) {
    return value.isEmpty() ? QStringLiteral("(not set)") : value;
}

QString rootHelperText(const AgentEnvironment& env) {
    if (env.privilegeMethod == PrivilegeMethod::AppleScript)
        return QStringLiteral("not used (osascript asks for the administrator)");
    const bool found = !env.helperProgram.isEmpty() && QFileInfo(env.helperProgram).isExecutable();
    return (found ? QStringLiteral("installed: ") : QStringLiteral("not found: ")) + env.helperProgram;
}

QString polkitPolicyText(const AgentEnvironment& env) {
    switch (env.privilegeMethod) {
    case PrivilegeMethod::AppleScript:
        return QStringLiteral("not used (osascript asks for the administrator)");
    case PrivilegeMethod::Direct:
        return QStringLiteral("not needed (root operations run the helper directly)");
    case PrivilegeMethod::Pkexec:
        break;
    }
    return (QFileInfo(polkitPolicyPath).isFile() ? QStringLiteral("installed: ")
                                                 : QStringLiteral("not found: ")) +
           polkitPolicyPath;
}

QString unitFileText(const AgentEnvironment& env) {
    for (const QString& path : env.serviceDefinitionPaths()) {
        const QFileInfo definition(path);
        if (definition.isSymLink() && definition.canonicalFilePath() == QLatin1String("/dev/null"))
            return path + QStringLiteral(" (masked: a link to /dev/null)");
        if (definition.isFile())
            return definition.isSymLink()
                       ? path + QStringLiteral(" (a link to ") + definition.symLinkTarget() + u')'
                       : path;
    }
    return QStringLiteral("not found in ") + env.serviceDefinitionFolders.join(QStringLiteral(", "));
}

quint64 monotonicMicroseconds() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return quint64(now.tv_sec) * 1000000U + quint64(now.tv_nsec) / 1000U;
}

// Runs a reading command with the user's rights; its standard output, or why there is none.
std::variant<QString, QString> readCommand(const QString& name, const QStringList& arguments,
                                           const QStringList& prefix,
                                           const QProcessEnvironment& environment) {
    QStringList path = prefix + environment.value(QStringLiteral("PATH")).split(u':', Qt::SkipEmptyParts);
    const QString program = QStandardPaths::findExecutable(name, path);
    if (program.isEmpty())
        return std::variant<QString, QString>(std::in_place_index<1>,
                                              name + QStringLiteral(" was not found"));
    QProcessEnvironment childEnvironment = environment;
    childEnvironment.insert(QStringLiteral("PATH"), path.join(u':'));
    QProcess process;
    process.setProcessEnvironment(childEnvironment);
    process.setStandardInputFile(QProcess::nullDevice());
    process.start(program, arguments);
    QString problem;
    if (!process.waitForStarted(-1))
        problem = name + QStringLiteral(" could not be started");
    else if (!process.waitForFinished(serviceManagerWaitMs)) {
        process.kill();
        process.waitForFinished(-1);
        problem = name + QStringLiteral(" did not answer within %1 s").arg(serviceManagerWaitMs / 1000);
    } else if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        const QString said = QString::fromUtf8(process.readAllStandardError()).simplified();
        problem = name + QStringLiteral(" failed (exit status %1)").arg(process.exitCode()) +
                  (said.isEmpty() ? QString() : QStringLiteral(": ") + said);
    }
    if (!problem.isEmpty())
        return std::variant<QString, QString>(std::in_place_index<1>, problem);
    return std::variant<QString, QString>(std::in_place_index<0>,
                                          QString::fromUtf8(process.readAllStandardOutput()));
}

void readServiceManager(const AgentEnvironment& env, const QProcessEnvironment& environment,
                        SupportReport::Facts& facts) {
    if (env.serviceUnit.isEmpty()) {
        // launchd: the daemon's label is its property list's name.
        QString label = env.serviceDefinitionName;
        label.chop(QStringLiteral(".plist").size());
        const auto read = readCommand(QStringLiteral("launchctl"),
                                      {QStringLiteral("print"), QStringLiteral("system/") + label},
                                      env.pathPrefix, environment);
        if (read.index() == 1) {
            facts.serviceManagerProblem = std::get<1>(read);
            return;
        }
        for (const QString& line : std::get<0>(read).split(u'\n')) {
            const QString trimmed = line.trimmed();
            for (const char* key : {"state", "pid", "last exit code", "runs"}) {
                const QString prefix = QLatin1String(key) + QStringLiteral(" = ");
                if (trimmed.startsWith(prefix))
                    facts.serviceManager.append({QLatin1String(key), trimmed.mid(prefix.size())});
            }
        }
        return;
    }
    const QStringList shown = {
        QStringLiteral("ActiveState"),
        QStringLiteral("SubState"),
        QStringLiteral("Result"),
        QStringLiteral("MainPID"),
        QStringLiteral("NRestarts"),
        QStringLiteral("ActiveEnterTimestamp"),
        QStringLiteral("ActiveEnterTimestampMonotonic"),
        QStringLiteral("ExecMainStatus"),
    };
    const auto read = readCommand(
        QStringLiteral("systemctl"),
        {QStringLiteral("show"), QStringLiteral("--property=") + shown.join(u','), env.serviceUnit},
        env.pathPrefix, environment);
    if (read.index() == 1) {
        facts.serviceManagerProblem = std::get<1>(read);
        return;
    }
    QHash<QString, QString> values;
    for (const QString& line : std::get<0>(read).split(u'\n', Qt::SkipEmptyParts)) {
        const qsizetype equals = line.indexOf(u'=');
        if (equals > 0)
            values.insert(line.left(equals), line.mid(equals + 1));
    }
    for (const QString& property : shown) {
        if (property == QLatin1String("ActiveEnterTimestampMonotonic"))
            continue;
        if (property == QLatin1String("ActiveEnterTimestamp"))
            facts.serviceManager.append(
                {QStringLiteral("Last became active"),
                 SupportReport::activeSince(
                     values.value(property),
                     values.value(QStringLiteral("ActiveEnterTimestampMonotonic")).toULongLong(),
                     monotonicMicroseconds())});
        else
            facts.serviceManager.append({property, values.value(property, QStringLiteral("(not given)"))});
    }
}

QString fileDetails(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return QStringLiteral("not found");
    const QFileInfo file(path);
    const QString owner = file.owner().isEmpty() ? QString::number(info.st_uid) : file.owner();
    const QString group = file.group().isEmpty() ? QString::number(info.st_gid) : file.group();
    return QStringLiteral("mode %1, owner %2:%3, modified %4")
        .arg(QString::asprintf("%04o", unsigned(info.st_mode & 07777)), owner, group,
             iso(file.lastModified()));
}

QString strictLoadText(const QString& path) {
    QFile file(path);
    if (!file.exists())
        return QStringLiteral("no: the file is missing (the app uses the defaults)");
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("no: ") + file.errorString() + QStringLiteral(" (the app uses the defaults)");
    const QByteArray bytes = file.readAll();
    if (AgentConfig::fromJson(bytes, true))
        return QStringLiteral("yes");
    if (AgentConfig::fromJson(bytes))
        return QStringLiteral("no: it has members besides the seven (the app reads it all the same)");
    return QStringLiteral("no: it is not one JSON object of the seven strings (the app uses the defaults)");
}

// A token the file holds even where it does not load, so that it is taken out all the same.
QString tokenInFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QByteArray bytes = file.readAll();
    const auto document = nlohmann::json::parse(bytes.constBegin(), bytes.constEnd(), nullptr, false);
    if (!document.is_object())
        return {};
    const auto token = document.find("token");
    return token != document.end() && token->is_string()
               ? TextCheck::decode(token->get_ref<const std::string&>())
               : QString();
}

QString duration(quint64 seconds) {
    if (seconds < 60)
        return QStringLiteral("%1 s").arg(seconds);
    if (seconds < 3600)
        return QStringLiteral("%1 min").arg(seconds / 60);
    if (seconds < 86400)
        return QStringLiteral("%1 h %2 min").arg(seconds / 3600).arg(seconds % 3600 / 60);
    return QStringLiteral("%1 d %2 h").arg(seconds / 86400).arg(seconds % 86400 / 3600);
}

// A secret as JSON writes it inside a string: escaping only what must be, or everything outside
// ASCII as well (Python's default).
QString jsonEscaped(const QString& text, bool asciiOnly) {
    QString escaped;
    for (const QChar c : text) {
        if (c == u'"' || c == u'\\' || c == u'/')
            escaped += u'\\' + QString(c);
        else if (c.unicode() < 0x20 || (asciiOnly && c.unicode() > 0x7e))
            escaped += QString::asprintf("\\u%04x", unsigned(c.unicode()));
        else
            escaped += c;
    }
    return escaped;
}

bool isControl(QChar c) {
    const char16_t code = c.unicode();
    return (code < 0x20 && code != u'\t' && code != u'\n') || (code >= 0x7f && code <= 0x9f);
}

} // namespace

namespace SupportReport {

Facts gather(const AppFacts& app, const QProcessEnvironment& environment) {
    const AgentEnvironment& env = AgentEnvironment::current();
    Facts facts;
    facts.madeAt = QDateTime::currentDateTimeUtc();
    facts.app = app;
    facts.appVersion = appVersion();
    facts.sessionType = orNotSet(environment.value(QStringLiteral("XDG_SESSION_TYPE")));
    facts.desktop = orNotSet(environment.value(QStringLiteral("XDG_CURRENT_DESKTOP")));
    facts.rootHelper = rootHelperText(env);
    facts.polkitPolicy = polkitPolicyText(env);

    facts.host = {
        {QStringLiteral("Computer name"), SystemInfo::computerName()},
        {QStringLiteral("User"), SystemInfo::userName()},
        {QStringLiteral("IP address"), SystemInfo::ipAddress()},
        {QStringLiteral("OS version"), SystemInfo::osVersion()},
        {QStringLiteral("UTC offset"), SystemInfo::utcOffset()},
        {QStringLiteral("OS"), QSysInfo::prettyProductName()},
        {QStringLiteral("Kernel"), QSysInfo::kernelType() + u' ' + QSysInfo::kernelVersion()},
        {QStringLiteral("Architecture"), QSysInfo::currentCpuArchitecture()},
    };

    facts.unitFile = unitFileText(env);
    readServiceManager(env, environment, facts);

    facts.configPath = env.configPath;
    facts.config = AgentConfig::load();
    facts.configFile = fileDetails(env.configPath);
    facts.strictLoad = strictLoadText(env.configPath);

    for (const QString& name : proxyNames) {
        if (!environment.contains(name))
            continue;
        const QString value = environment.value(name);
        facts.proxyVariables.append(name + u'=' +
                                    (name.compare(QLatin1String("no_proxy"), Qt::CaseInsensitive) == 0
                                         ? value
                                         : withoutCredentials(value)));
    }

    facts.events = RunRecord::events().events();

    facts.logPath = env.logPath;
    const QFileInfo log(env.logPath);
    if (log.isFile())
        facts.logSize = log.size();
    facts.logLines = Logger::lastLines(logLineCount);
    return facts;
}

QStringList secrets() {
    const AgentEnvironment& env = AgentEnvironment::current();
    return QStringList{AgentConfig::load().token, tokenInFile(env.configPath)} + RunRecord::secrets();
}

QString build(const Facts& facts) {
    QString text;
    const auto line = [&text](const QString& content) {
        text += content + u'\n';
    };
    const auto heading = [&text](const QString& title) {
        text += u'\n' + title + u'\n' + QString(title.size(), u'=') + u'\n';
    };
    const auto row = [&line](const QString& label, const QString& value) {
        line(label + QStringLiteral(": ") + (value.isEmpty() ? QStringLiteral("(empty)") : value));
    };

    line(QStringLiteral("Tavrel Agent support report"));
    row(QStringLiteral("Made"), iso(facts.madeAt));

    heading(QStringLiteral("The app"));
    row(QStringLiteral("Version"), facts.appVersion);
    row(QStringLiteral("Qt"),
        facts.app.qtVersion + QStringLiteral(", platform plugin ") + facts.app.platformPlugin);
    row(QStringLiteral("Session type"), facts.sessionType);
    row(QStringLiteral("Desktop"), facts.desktop);
    row(QStringLiteral("Tray"), facts.app.trayHost);
    row(QStringLiteral("Root helper"), facts.rootHelper);
    row(QStringLiteral("polkit policy"), facts.polkitPolicy);
    row(QStringLiteral("Authentication agent"), facts.app.authenticationAgent);

    heading(QStringLiteral("The host"));
    for (const auto& [label, value] : facts.host)
        row(label, value);

    heading(QStringLiteral("The agent service"));
    row(QStringLiteral("State (as the app sees it)"), facts.app.serviceState);
    row(QStringLiteral("Service definition"), facts.unitFile);
    if (!facts.serviceManagerProblem.isEmpty()) {
        row(QStringLiteral("Service manager"),
            QStringLiteral("not available: ") + facts.serviceManagerProblem);
    } else {
        line(QStringLiteral("Service manager (read without root):"));
        for (const auto& [label, value] : facts.serviceManager)
            row(QStringLiteral("  ") + label, value);
    }

    heading(QStringLiteral("The configuration"));
    row(QStringLiteral("File"), facts.configPath);
    row(QStringLiteral("File details"), facts.configFile);
    row(QStringLiteral("Loads strictly"), facts.strictLoad);
    row(QStringLiteral("Registered"),
        facts.config.isRegistered() ? QStringLiteral("yes") : QStringLiteral("no"));
    const AgentConfig& config = facts.config;
    row(QStringLiteral("computerID"), config.computerID);
    row(QStringLiteral("token"), config.token.isEmpty()
                                     ? QStringLiteral("(empty)")
                                     : QStringLiteral("(set, %1 characters)").arg(config.token.size()));
    row(QStringLiteral("clientID"), config.clientID);
    row(QStringLiteral("clientName"), config.clientName);
    row(QStringLiteral("locationName"), config.locationName);
    row(QStringLiteral("apiBaseUrl"), config.apiBaseUrl);
    row(QStringLiteral("agentVersion"), config.agentVersion);

    heading(QStringLiteral("The network"));
    if (facts.proxyVariables.isEmpty())
        line(QStringLiteral("No proxy variable is set."));
    for (const QString& variable : facts.proxyVariables)
        line(variable);

    heading(QStringLiteral("The app's recent events"));
    line(QStringLiteral("Root operations and server calls of this run, oldest first (at most %1):")
             .arg(EventRing::defaultCapacity));
    if (facts.events.isEmpty())
        line(QStringLiteral("(none)"));
    for (const RecentEvent& event : facts.events)
        line(iso(event.time) + QStringLiteral("  ") + event.operation + QStringLiteral("  ") +
             (event.succeeded ? QStringLiteral("succeeded") : QStringLiteral("failed: ") + event.reason));

    heading(QStringLiteral("The activity log"));
    row(QStringLiteral("File"), facts.logPath);
    row(QStringLiteral("Size"),
        facts.logSize ? QStringLiteral("%1 bytes").arg(*facts.logSize) : QStringLiteral("not found"));
    line(QStringLiteral("Its last %1 lines, [DEBUG] ones included:").arg(logLineCount));
    for (const QString& logLine : facts.logLines)
        line(logLine);
    return text;
}

QString redact(const QString& text, const QStringList& secrets) {
    QStringList forms;
    for (const QString& secret : secrets) {
        if (secret.isEmpty())
            continue;
        forms << secret << QString::fromLatin1(QUrl::toPercentEncoding(secret)) << jsonEscaped(secret, false)
              << jsonEscaped(secret, true);
    }
    // Marked first, replaced in one pass: a secret inside another, or overlapping it, or inside
    // the mark itself, is still taken out whole.
    QBitArray hidden(text.size());
    for (const QString& form : forms) {
        for (qsizetype at = text.indexOf(form, 0, Qt::CaseInsensitive); at >= 0;
             at = text.indexOf(form, at + 1, Qt::CaseInsensitive))
            hidden.fill(true, at, at + form.size());
    }
    QString result;
    result.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (hidden.testBit(i)) {
            while (i + 1 < text.size() && hidden.testBit(i + 1))
                ++i;
            result += redactedMark;
        } else {
            // A terminal that shows the report must not take a log line's escape for its own.
            result += isControl(text[i]) ? QChar(QChar::ReplacementCharacter) : text[i];
        }
    }
    return result;
}

QString withoutCredentials(const QString& url) {
    const qsizetype scheme = url.indexOf(QStringLiteral("://"));
    const qsizetype start = scheme < 0 ? 0 : scheme + 3;
    // The last "@" counts: a password may hold "@" or "/" that nobody encoded.
    const qsizetype at = url.lastIndexOf(u'@');
    if (at < start)
        return url;
    return url.left(start) + url.mid(at + 1) + QStringLiteral(" (user name and password removed)");
}

QString activeSince(const QString& timestamp, quint64 enteredUs, quint64 nowUs) {
    if (enteredUs == 0)
        return QStringLiteral("never");
    const QString when = timestamp.isEmpty() ? QString() : timestamp + u' ';
    if (nowUs < enteredUs)
        return timestamp;
    return when + u'(' + duration((nowUs - enteredUs) / 1000000U) + QStringLiteral(" ago)");
}

QString fileName(const QDateTime& when) {
    return QStringLiteral("tavrel-agent-report-") + when.toUTC().toString(QStringLiteral("yyyyMMdd-HHmmss")) +
           QStringLiteral(".txt");
}

Outcome write(const QString& path, const QString& text) {
    QSaveFile file(path);
    // Private before anything is written: the report tells a lot about this computer.
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return Outcome::failure(file.errorString());
    const QByteArray bytes = text.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.commit())
        return Outcome::failure(file.errorString());
    return Outcome::success();
}

} // namespace SupportReport
