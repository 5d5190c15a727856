#include "core/ProcessSearch.h"

#include <QByteArray>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <memory>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The numeric entries of /proc are processes (threads are not listed); 0 for any other entry.
pid_t processId(const char* name) {
    pid_t pid = 0;
    const char* end = name + std::strlen(name);
    const auto [last, error] = std::from_chars(name, end, pid);
    return error == std::errc() && last == end ? pid : 0;
}

int openCommandLine(int procFd, pid_t pid) {
    char path[40];
    std::snprintf(path, sizeof path, procFd == AT_FDCWD ? "/proc/%d/cmdline" : "%d/cmdline", int(pid));
    return ::openat(procFd, path, O_RDONLY | O_CLOEXEC);
}

// The whole of an open cmdline file into buffer, whose capacity is kept from call to call. False
// when the process is gone or hidden from us.
bool readCommandLine(int fd, QByteArray& buffer) {
    constexpr qsizetype chunk = 4096;
    qsizetype used = 0;
    for (;;) {
        buffer.resize(used + chunk);
        const ssize_t got = ::pread(fd, buffer.data() + used, size_t(chunk), off_t(used));
        if (got > 0)
            used += got;
        else if (got == 0)
            break;
        else if (errno != EINTR) {
            buffer.clear();
            return false;
        }
    }
    buffer.resize(used);
    return true;
}

} // namespace

bool commandLineContains(QByteArrayView cmdline, QByteArrayView pattern) {
    if (cmdline.endsWith('\0'))
        cmdline.chop(1);
    if (cmdline.isEmpty())
        return false;
    // A NUL between two arguments reads as the space that joins them.
    const auto sameByte = [](char inLine, char inPattern) {
        return inLine == inPattern || (inLine == '\0' && inPattern == ' ');
    };
    return std::search(cmdline.begin(), cmdline.end(), pattern.begin(), pattern.end(), sameByte) !=
           cmdline.end();
}

QList<pid_t> findProcesses(QByteArrayView pattern, qsizetype limit) {
    QList<pid_t> found;
    const std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), &::closedir);
    if (!proc)
        return found;
    const pid_t self = ::getpid();
    QByteArray cmdline;
    while (found.size() < limit) {
        const dirent* entry = ::readdir(proc.get());
        if (!entry)
            break;
        const pid_t pid = processId(entry->d_name);
        if (pid <= 0 || pid == self)
            continue;
        const int fd = openCommandLine(::dirfd(proc.get()), pid);
        if (fd < 0)
            continue;
        if (readCommandLine(fd, cmdline) && commandLineContains(cmdline, pattern))
            found.append(pid);
        ::close(fd);
    }
    return found;
}

CommandLineFile::CommandLineFile(pid_t pid)
    : fd(pid > 0 && pid != ::getpid() ? openCommandLine(AT_FDCWD, pid) : -1) {}

CommandLineFile::~CommandLineFile() {
    if (fd >= 0)
        ::close(fd);
}

bool CommandLineFile::contains(QByteArrayView pattern) const {
    // One buffer per thread: a look allocates nothing once it has run.
    thread_local QByteArray cmdline;
    return fd >= 0 && readCommandLine(fd, cmdline) && commandLineContains(cmdline, pattern);
}
