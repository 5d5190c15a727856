// tavrel-agent-helper: the only code of ours that runs as root on Linux. pkexec starts it for one of
// three verbs, each its own polkit action. It takes no path from its caller, checks everything it
// reads before it touches a file, and never follows a symbolic link.
//
//   tavrel-agent-helper [--root DIR] service start|stop|restart
//   tavrel-agent-helper [--root DIR] write-config   < the configuration's JSON
//   tavrel-agent-helper [--root DIR] write-config with-log < a log line, a line feed, the JSON
//   tavrel-agent-helper [--root DIR] append-log     < one activity-log line
//
// --root DIR moves every path under DIR (tests and the demo); it is refused under pkexec, so that
// nobody can point a helper they were granted at files of their choosing.
#include "core/AgentConfig.h"
#include "core/AgentEnvironment.h"
#include "core/Logger.h"
#include "core/Privileged.h"
#include "core/TextCheck.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char usage[] =
    "usage: tavrel-agent-helper [--root DIR] service start|stop|restart | write-config [with-log] | "
    "append-log";
// Names of new configuration files between their link into the folder and the rename over
// config.json; one left by a killed helper is removed by the next.
constexpr char pendingPrefix[] = ".config.json.new-";

int refuse(const QString& message) {
    std::fprintf(stderr, "tavrel-agent-helper: %s\n", message.toUtf8().constData());
    return 1;
}

QString systemError(const QString& what) {
    return what + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
}

class FileDescriptor final {
public:
    explicit FileDescriptor(int descriptor)
        : fd(descriptor) {}
    ~FileDescriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd; }
    bool valid() const { return fd >= 0; }

private:
    int fd = -1;
};

// Reads all of standard input into input, and says so when it is more than limit bytes. Every
// payload passes this and its check before anything is opened.
QString readPayload(qsizetype limit, QByteArray& input) {
    char buffer[16 * 1024];
    for (ssize_t got; (got = ::read(STDIN_FILENO, buffer, sizeof buffer)) != 0;) {
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            break; // no input at all: judged by the checks that follow
        if (input.size() + got > limit)
            return QStringLiteral("the input is larger than %1 KiB").arg(limit / 1024);
        input.append(buffer, got);
    }
    return {};
}

// Why a configuration is refused, or an empty string: it must be strict UTF-8 text holding one
// JSON object of exactly the seven members, each a string, and nothing after it.
QString checkConfigPayload(const QByteArray& input) {
    if (QString problem = TextCheck::documentProblem(input); !problem.isEmpty())
        return problem;
    if (!AgentConfig::fromJson(input, true))
        return QStringLiteral("the input is not a JSON object of exactly the seven configuration members, "
                              "each a string");
    return {};
}

// Why a log line is refused, or an empty string: one well-formed line, optionally ending in its
// line feed, with nothing in it that breaks a line.
QString checkLogLinePayload(QByteArrayView input) {
    return Logger::lineProblem(input.endsWith('\n') ? input.chopped(1) : input);
}

// The folder of path, opened without following a link at its last component, when whatever
// stands at path is a regular file or nothing yet.
int openFolderOf(const QString& path, QString& problem) {
    const QString folder = QFileInfo(path).path();
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            problem = QStringLiteral("the folder %1 does not exist").arg(folder);
        else if (errno == ELOOP || errno == ENOTDIR)
            problem = QStringLiteral("%1 is a symbolic link or not a folder").arg(folder);
        else
            problem = systemError(folder);
        return -1;
    }
    struct stat existing {};
    const QByteArray name = QFile::encodeName(QFileInfo(path).fileName());
    if (::fstatat(fd, name.constData(), &existing, AT_SYMLINK_NOFOLLOW) == 0 && !S_ISREG(existing.st_mode)) {
        problem = path + (S_ISLNK(existing.st_mode) ? QStringLiteral(" is a symbolic link")
                                                    : QStringLiteral(" is not a regular file"));
        ::close(fd);
        return -1;
    }
    return fd;
}

void removePendingFiles(int folder) {
    const int listed = ::dup(folder);
    DIR* entries = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (entries == nullptr) {
        if (listed >= 0)
            ::close(listed);
        return;
    }
    while (const dirent* entry = ::readdir(entries)) {
        if (std::strncmp(entry->d_name, pendingPrefix, sizeof pendingPrefix - 1) == 0)
            ::unlinkat(folder, entry->d_name, 0);
    }
    ::closedir(entries);
}

bool writeAll(int fd, const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t written = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += written;
    }
    return true;
}

// A new file in the folder that nobody can see until it is linked: a kill at any moment before
// the link leaves nothing behind. Falls back to an exclusively created name where the file system
// has no unnamed files.
int createUnnamed(int folder, QByteArray& name, bool& named) {
    name = QByteArray(pendingPrefix) + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    named = false;
    const int fd = ::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644);
    if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return fd;
    named = true;
    return ::openat(folder, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
}

QString configProblem(const QByteArray& input) {
    if (input.size() > HelperVerb::maxConfigBytes)
        return QStringLiteral("the input is larger than %1 KiB").arg(HelperVerb::maxConfigBytes / 1024);
    return checkConfigPayload(input);
}

// Takes the final line feed off input, and says what is wrong when it is not one well-formed log
// line.
QString logLineProblem(QByteArray& input) {
    if (input.size() > HelperVerb::maxLogLineBytes)
        return QStringLiteral("the input is larger than %1 KiB").arg(HelperVerb::maxLogLineBytes / 1024);
    if (QString problem = checkLogLinePayload(input); !problem.isEmpty())
        return problem;
    if (input.endsWith('\n'))
        input.chop(1);
    return {};
}

// Replaces the configuration with input, already checked by configProblem.
int writeConfig(const AgentEnvironment& env, const QByteArray& input) {
    QString problem;
    const FileDescriptor folder(openFolderOf(env.configPath, problem));
    if (!folder.valid())
        return refuse(problem);
    const QByteArray target = QFile::encodeName(QFileInfo(env.configPath).fileName());
    removePendingFiles(folder.get());

    QByteArray name;
    bool named = false;
    const FileDescriptor file(createUnnamed(folder.get(), name, named));
    if (!file.valid())
        return refuse(
            systemError(QStringLiteral("cannot create a file in %1").arg(QFileInfo(env.configPath).path())));
    // The mode asked for at creation is cut by the umask; readers need 644.
    if (::fchmod(file.get(), 0644) != 0 || !writeAll(file.get(), input) || ::fsync(file.get()) != 0) {
        const QString failure = systemError(QStringLiteral("cannot write the new configuration"));
        if (named)
            ::unlinkat(folder.get(), name.constData(), 0);
        return refuse(failure);
    }
    if (!named) {
        const QByteArray self = "/proc/self/fd/" + QByteArray::number(file.get());
        if (::linkat(AT_FDCWD, self.constData(), folder.get(), name.constData(), AT_SYMLINK_FOLLOW) != 0 &&
            ::linkat(file.get(), "", folder.get(), name.constData(), AT_EMPTY_PATH) != 0)
            return refuse(systemError(QStringLiteral("cannot link the new configuration")));
    }
    if (::renameat(folder.get(), name.constData(), folder.get(), target.constData()) != 0) {
        const QString failure = systemError(QStringLiteral("cannot replace %1").arg(env.configPath));
        ::unlinkat(folder.get(), name.constData(), 0);
        return refuse(failure);
    }
    // The rename itself must survive a power cut too.
    ::fsync(folder.get());
    return 0;
}

// Appends a line already checked by logLineProblem.
int appendLog(const AgentEnvironment& env, const QByteArray& input) {
    QString problem;
    const FileDescriptor folder(openFolderOf(env.logPath, problem));
    if (!folder.valid())
        return refuse(problem);
    const QByteArray name = QFile::encodeName(QFileInfo(env.logPath).fileName());
    // Non-blocking, so that a FIFO planted in its place cannot hold us.
    constexpr int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    int fd = ::openat(folder.get(), name.constData(), flags);
    if (fd < 0 && errno == ENOENT) {
        fd = ::openat(folder.get(), name.constData(), flags | O_CREAT | O_EXCL, 0644);
        if (fd >= 0)
            ::fchmod(fd, 0644);
    }
    const FileDescriptor log(fd);
    if (!log.valid())
        return refuse(errno == ELOOP || errno == ENXIO
                          ? QStringLiteral("%1 was replaced meanwhile").arg(env.logPath)
                          : systemError(env.logPath));
    struct stat info {};
    if (::fstat(log.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return refuse(QStringLiteral("%1 is not a regular file").arg(env.logPath));
    // One write, so that the line never interleaves with the agent's own.
    const QByteArray line = input.endsWith('\n') ? input : input + '\n';
    if (::write(log.get(), line.constData(), size_t(line.size())) != line.size())
        return refuse(systemError(QStringLiteral("cannot write to %1").arg(env.logPath)));
    return 0;
}

int runService(const AgentEnvironment& env, const char* command, bool sandboxed) {
    const QByteArray unit = env.serviceUnit.toUtf8();
    std::fflush(nullptr);
    // The service manager's own exit status and message are ours.
    if (sandboxed) {
        const char* arguments[] = {"systemctl", command, unit.constData(), nullptr};
        ::execvp("systemctl", const_cast<char* const*>(arguments));
    } else {
        const char* arguments[] = {"/usr/bin/systemctl", command, unit.constData(), nullptr};
        ::execv(arguments[0], const_cast<char* const*>(arguments));
    }
    return refuse(systemError(QStringLiteral("cannot start systemctl")));
}

} // namespace

int main(int argc, char* argv[]) {
    int next = 1;
    QString root;
    if (next < argc && std::strcmp(argv[next], "--root") == 0) {
        if (std::getenv("PKEXEC_UID") != nullptr)
            return refuse(QStringLiteral("--root is not accepted when started through pkexec"));
        if (next + 1 >= argc)
            return refuse(QString::fromLatin1(usage));
        root = QFile::decodeName(argv[next + 1]);
        next += 2;
    }
    if (next >= argc)
        return refuse(QString::fromLatin1(usage));
    const char* verb = argv[next];
    const int extra = argc - next - 1;
    const AgentEnvironment env =
        root.isEmpty() ? AgentEnvironment::linuxSystemd() : AgentEnvironment::sandbox(root);

    if (std::strcmp(verb, HelperVerb::service) == 0) {
        const char* command = extra == 1 ? argv[next + 1] : "";
        for (const char* allowed : {"start", "stop", "restart"}) {
            if (std::strcmp(command, allowed) == 0)
                return runService(env, allowed, !root.isEmpty());
        }
        return refuse(QStringLiteral("service takes exactly one of start, stop or restart"));
    }
    const bool writesConfig = std::strcmp(verb, HelperVerb::writeConfig) == 0;
    if (!writesConfig && std::strcmp(verb, HelperVerb::appendLog) != 0)
        return refuse(QStringLiteral("unknown operation; expected service, write-config or append-log"));
    const bool withLogLine =
        writesConfig && extra == 1 && std::strcmp(argv[next + 1], HelperVerb::withLogLine) == 0;
    if (extra != 0 && !withLogLine)
        return refuse(writesConfig ? QStringLiteral("write-config takes no argument but with-log")
                                   : QStringLiteral("append-log takes no arguments"));

    QByteArray input;
    const qsizetype limit = !writesConfig ? HelperVerb::maxLogLineBytes
                            : withLogLine ? HelperVerb::maxConfigBytes + HelperVerb::maxLogLineBytes
                                          : HelperVerb::maxConfigBytes;
    if (const QString problem = readPayload(limit, input); !problem.isEmpty())
        return refuse(problem);
    if (!writesConfig) {
        if (const QString problem = logLineProblem(input); !problem.isEmpty())
            return refuse(problem);
        return appendLog(env, input);
    }
    // with-log: both payloads are checked before either file is touched.
    QByteArray line;
    if (withLogLine) {
        const qsizetype end = input.indexOf('\n');
        if (end < 0)
            return refuse(QStringLiteral("the input holds no log line before the configuration"));
        line = input.left(end);
        input.remove(0, end + 1);
        if (const QString problem = logLineProblem(line); !problem.isEmpty())
            return refuse(problem);
    }
    if (const QString problem = configProblem(input); !problem.isEmpty())
        return refuse(problem);
    if (const int status = writeConfig(env, input); status != 0 || !withLogLine)
        return status;
    // The configuration is stored: a line that cannot be written is a failure of its own.
    return appendLog(env, line) == 0 ? 0 : HelperVerb::logLineFailedStatus;
}
