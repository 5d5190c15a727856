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

#include <QtCore>

#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

int tavrelHelperMain(int argc, char* argv[]); // helper/main.cpp, renamed for this target

namespace {

QString root, configPath, logPath;
const QByteArray oldConfig = AgentConfig::defaults().toJson(),
                 oldLog = "[2026-01-01T00:00:00Z] [INFO] before\n";

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

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // On tmpfs where there is one: the helper's fsync calls cost nothing there.
    static QTemporaryDir folder(QFileInfo(QStringLiteral("/dev/shm")).isWritable()
                                    ? QStringLiteral("/dev/shm/tavrel-fuzz-XXXXXX")
                                    : QDir::tempPath() + QStringLiteral("/tavrel-fuzz-XXXXXX"));
    root = folder.path();
    configPath = root + QStringLiteral("/var/tavrel/agentservice/config.json");
    logPath = root + QStringLiteral("/var/tavrel/agentservice/activity.log");
    require(QDir().mkpath(QFileInfo(configPath).path()));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const int verb = data[0] % 3; // 0 append-log, 1 write-config, 2 write-config with-log
    const QByteArray input(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));
    put(configPath, oldConfig);
    put(logPath, oldLog);

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
    const QByteArray line = verb == 0 ? input.left(input.size() - input.endsWith('\n')) : input.left(split);
    const QByteArray json = verb == 1 ? input : input.mid(split + 1);
    // A refusal changes nothing; what is accepted is stored as sent and read the same by Qt's reader.
    const std::optional<AgentConfig> stored = AgentConfig::fromJson(json, true);
    require(status == 0 && verb != 0 ? stored && contents(configPath) == json &&
                                           QJsonDocument::fromJson(json).object() ==
                                               QJsonDocument::fromJson(stored->toJson()).object()
                                     : contents(configPath) == oldConfig);
    require(status == 0 && verb != 1 ? TextCheck::lineProblem(line).isEmpty() &&
                                           Logger::isWellFormedLine(TextCheck::decode(line)) &&
                                           contents(logPath) == oldLog + line + '\n'
                                     : contents(logPath) == oldLog);
    return 0;
}
