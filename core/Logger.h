#pragma once

#include "core/Outcome.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

struct LogChunk final {
    QStringList lines;
    quint64 newOffset = 0;
};

// The agent's activity log at AgentEnvironment::current().logPath.
namespace Logger {
// At most count non-empty lines from the end of the log, in file order.
QStringList lastLines(qsizetype count);
// The non-empty lines written since offset, and the offset to pass next time.
LogChunk tail(quint64 offset);
// Appends "[time] [level] message" through the administrator-authorised append.
Outcome append(const QString& message, const QString& level);

// The same, on an explicit file (benchmarks and tools).
QStringList lastLines(const QString& path, qsizetype count);
LogChunk tail(const QString& path, quint64 offset);

// "[2025-03-07T14:05:09Z] [INFO] message", line breaks in message turned into spaces.
QString formatLine(const QDateTime& when, const QString& level, const QString& message);
// Whether a line has exactly that form: a valid UTC time, an upper-case level, no line break.
bool isWellFormedLine(const QString& line);
} // namespace Logger
