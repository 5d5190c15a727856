// libFuzzer target for the root helper's payload checks: the helper's own main, run in-process on a
// sandbox. The first byte picks the verb (append-log, write-config, or write-config with-log: a
// line, a line feed, the configuration), the rest is standard input. After every run:
//   - an accepted log line passes the strict text check and was appended exactly;
//   - an accepted configuration is exactly seven strings, stored as sent, and Qt's JSON reader
//     reads the same seven values;
//   - a refusal changed nothing.
#include "core/AgentConfig.h"
#include "core/Logger.h"
#include "core/TextCheck.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

int tavrelHelperMain(int argc, char* argv[]); // helper/main.cpp, renamed for this target

namespace {

QString root;
QString configPath, logPath;
const QByteArray oldConfig = AgentConfig::defaults().toJson();

void require(bool holds) {
    if (!holds)
        std::abort();
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

void put(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    require(file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size());
}

// Qt's reader sees the same seven strings as ours.
bool readsTheSame(const QByteArray& json, const AgentConfig& ours) {
    const QJsonDocument document = QJsonDocument::fromJson(json);
    return document.isObject() && document.object() == QJsonDocument::fromJson(ours.toJson()).object();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // On tmpfs where there is one: the helper's fsync calls cost nothing there.
    static QTemporaryDir folder(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                    ? QStringLiteral("/dev/shm/tavrel-fuzz-XXXXXX")
                                    : QDir::tempPath() + QStringLiteral("/tavrel-fuzz-XXXXXX"));
    root = folder.path();
    configPath = root + QStringLiteral("/var/tavrel/agentservice/config.json");
    logPath = root + QStringLiteral("/var/tavrel/agentservice/activity.log");
    require(QDir().mkpath(root + QStringLiteral("/var/tavrel/agentservice")));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const int verb = data[0] % 3; // 0 append-log, 1 write-config, 2 write-config with-log
    const QByteArray input(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    put(configPath, oldConfig);
    put(logPath, "[2026-01-01T00:00:00Z] [INFO] before\n");
    const QByteArray oldLog = contents(logPath);

    const int in = ::memfd_create("payload", 0);
    require(in >= 0 && ::write(in, input.constData(), size_t(input.size())) == input.size() &&
            ::lseek(in, 0, SEEK_SET) == 0 && ::dup2(in, STDIN_FILENO) == STDIN_FILENO);
    ::close(in);
    QByteArray rootArgument = QFile::encodeName(root);
    char program[] = "tavrel-agent-helper", option[] = "--root", config[] = "write-config",
         log[] = "append-log", withLog[] = "with-log";
    char* argv[] = {program, option, rootArgument.data(), verb == 0 ? log : config, withLog, nullptr};
    const int status = tavrelHelperMain(verb == 2 ? 5 : 4, argv);

    const qsizetype split = verb == 2 ? input.indexOf('\n') : -1;
    QByteArray line = verb == 0 ? input : input.left(split);
    const QByteArray json = verb == 1 ? input : input.mid(split + 1);
    if (line.endsWith('\n'))
        line.chop(1);
    if (status != 0) {
        require(contents(configPath) == oldConfig && contents(logPath) == oldLog);
        return 0;
    }
    if (verb != 0) {
        const std::optional<AgentConfig> stored = AgentConfig::fromJson(json, true);
        require(stored && contents(configPath) == json && readsTheSame(json, *stored));
    } else {
        require(contents(configPath) == oldConfig);
    }
    if (verb != 1)
        require(TextCheck::lineProblem(line).isEmpty() && Logger::isWellFormedLine(TextCheck::decode(line)) &&
                contents(logPath) == oldLog + line + '\n');
    else
        require(contents(logPath) == oldLog);
    return 0;
}
