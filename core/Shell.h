#pragma once

#include <QString>

struct ShellResult final {
    int exitCode = -1; // -1 when the shell could not be started
    QString output;    // stdout and stderr merged; empty when not valid UTF-8
};

// Runs a command line with the user's rights through the environment's shell (bash -c).
ShellResult runShell(const QString& commandLine);

// Runs a command line with administrator rights. False (and one line on stderr) when the user
// declines, authorisation fails or the command exits non-zero.
bool runPrivileged(const QString& commandLine);

// "do shell script \"…\" with administrator privileges" for a command line.
QString appleScriptSource(const QString& commandLine);

// POSIX single-quoted word: every ' becomes '\''.
QString shellQuote(const QString& text);
