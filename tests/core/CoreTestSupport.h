#pragma once

#include "core/AgentEnvironment.h"

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QTemporaryFile>

// Everything written to file descriptor 2 while it lives: what runPrivileged reports goes there.
class StderrCapture final {
public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    // Stops capturing and returns the bytes written.
    QByteArray text();

private:
    void stop();

    QTemporaryFile file_;
    int saved_ = -1;
};

// Sets an environment variable of this process for as long as it lives.
class ScopedEnv final {
public:
    ScopedEnv(const char* name, const QByteArray& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* name_;
    bool had_ = false;
    QByteArray old_;
};

namespace CoreTest {
QByteArray readFile(const QString& path);
void writeFile(const QString& path, const QByteArray& bytes);
void writeExecutable(const QString& path, const QByteArray& script);
// Copies the stand-in tool `name` ("osascript", "pkexec") into root/standins and returns its path.
// Each copy records what it ran, and the pkexec one reads its answer, in files beside it.
QString installStandIn(const QString& root, const QString& name);
// Points the environment's privilege backend at a stand-in (or at /bin/sh for Direct).
void usePrivilegeBackend(AgentEnvironment& environment, PrivilegeMethod method, const QString& program);
QString methodName(PrivilegeMethod method);
// Texts a shell, printf, echo or AppleScript could mangle. CANARY stands for a path that a
// command substitution in them would create.
QList<QPair<QString, QString>> hostileTexts();
QString withCanary(QString text, const QString& canaryPath);
// Entries of a directory, hidden ones included.
QStringList entries(const QString& directory);
} // namespace CoreTest
