#pragma once

#include <QByteArrayView>
#include <QList>

#include <limits>
#include <sys/types.h>

// The process search of `pgrep -f`, answered from /proc inside this process, so that a status
// check starts no shell and no pgrep (Linux).

// Whether a command line as /proc/PID/cmdline holds it (every argument ended by a NUL) contains
// pattern once its arguments are joined by single spaces. An empty command line never matches:
// zombies and kernel threads have none.
bool commandLineContains(QByteArrayView cmdline, QByteArrayView pattern);

// The processes of every user, this one left out, whose command line contains pattern; at most
// limit of them, in the order /proc lists them. Empty where there is no /proc.
QList<pid_t> findProcesses(QByteArrayView pattern, qsizetype limit = std::numeric_limits<qsizetype>::max());
// The command line of one process, opened once and read again at every ask. It keeps telling of
// that very process: once it has ended, the file reads as empty even when another process has
// been given its number. Closed, it matches nothing (also for this process, or pid 0).
class CommandLineFile final {
public:
    explicit CommandLineFile(pid_t pid);
    ~CommandLineFile();
    CommandLineFile(const CommandLineFile&) = delete;
    CommandLineFile& operator=(const CommandLineFile&) = delete;
    bool contains(QByteArrayView pattern) const;

private:
    int fd = -1;
};
