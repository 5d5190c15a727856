#pragma once

#include "core/Privileged.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

struct LogChunk final {
    QStringList lines;
    quint64 newOffset = 0;
    // Bytes past the offset that were not read because more than readLimit was new.
    quint64 skippedBytes = 0;
    // The first line does not begin a line of the file: it goes on with the last line of the read
    // before (nothing skipped), or its start was not read (skippedBytes, marked with cutMark).
    bool continuesLine = false;
    // The last line has no line feed yet: the next read may go on with it.
    bool lineOpen = false;
};

// The agent's activity log at AgentEnvironment::current().logPath.
namespace Logger {
// The most tail and lastLines read from the log in one call. Past it only the newest lines are read, so a
// runaway log costs no more than the pane can show.
inline constexpr quint64 readLimit = 1 << 20;
// Marks a line whose start was not read.
inline constexpr char16_t cutMark = u'\u2026';

// At most count non-empty lines from the end of the log (within its last readLimit bytes), in
// file order.
QStringList lastLines(qsizetype count);
// The same, with the offset where tail goes on.
LogChunk lastChunk(qsizetype count);
// The non-empty lines written since offset (at most the last readLimit bytes of them), and
// the offset to pass next time.
LogChunk tail(quint64 offset);
// The log's size, less a character still being written at its end: where tail should start
// after lastLines; 0 when it cannot be read.
quint64 endOffset();
// Appends "[time] [level] message" through the administrator-authorised append; done says how
// that ended (from the event loop, unless context is gone by then). A line the helper would refuse
// fails before anything runs.
void append(const QString& message, const QString& level, QObject* context, OutcomeHandler done);
// Why the helper would refuse to write this line, judged as it judges it; empty when it would not.
QString writeProblem(const QString& line);

// The same, on an explicit file (benchmarks and tools).
QStringList lastLines(const QString& path, qsizetype count);
LogChunk lastChunk(const QString& path, qsizetype count);
LogChunk tail(const QString& path, quint64 offset);
quint64 endOffset(const QString& path);

// "[2025-03-07T14:05:09Z] [INFO] message", every character of message that breaks a line
// (TextCheck::breaksLine) turned into a space.
QString formatLine(const QDateTime& when, const QString& level, const QString& message);
// Whether a line has exactly that form: a valid UTC time (hours 00 to 23), an upper-case level,
// nothing that breaks a line.
bool isWellFormedLine(const QString& line);
// Why the helper refuses these bytes as a log line (without its line feed), or an empty string.
QString lineProblem(QByteArrayView line);
} // namespace Logger
