#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

struct ShellResult final {
    int exitCode = -1; // -1 when the shell could not be started
    QString output;    // stdout and stderr merged; empty when not valid UTF-8
};

// Runs a command line with the user's rights through the environment's shell (bash -c).
ShellResult runShell(const QString& commandLine);

// This process's environment with the folders put first on PATH.
QProcessEnvironment environmentWithPathPrefix(const QStringList& prefix);

// "do shell script \"…\" with administrator privileges" for a command line.
QString appleScriptSource(const QString& commandLine);

// POSIX single-quoted word: every ' becomes '\''.
QString shellQuote(const QString& text);
