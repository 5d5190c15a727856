#include "core/Logger.h"

#include "core/AgentEnvironment.h"
#include "core/Shell.h"

#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>

namespace {

constexpr qint64 blockSize = 64 * 1024;

// Non-empty LF-separated pieces of bytes; nothing at all when they are not valid UTF-8.
QStringList splitLines(const QByteArray& bytes) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    const QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return {};
    return text.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

// Where the last count non-empty lines of the file begin, found by reading backwards in blocks.
qint64 startOfLastLines(QFile& file, qint64 size, qsizetype count) {
    qsizetype found = 0;
    qint64 pieceLength = 0;
    for (qint64 end = size; end > 0;) {
        const qint64 begin = std::max<qint64>(0, end - blockSize);
        if (!file.seek(begin))
            return -1;
        const QByteArray block = file.read(end - begin);
        if (block.size() != end - begin)
            return -1;
        for (qint64 i = block.size() - 1; i >= 0; --i) {
            if (block[i] != '\n') {
                ++pieceLength;
                continue;
            }
            if (pieceLength > 0 && ++found == count)
                return begin + i + 1;
            pieceLength = 0;
        }
        end = begin;
    }
    return 0;
}

// How many bytes at the end of bytes begin a UTF-8 character that is not complete yet.
qsizetype unfinishedCharacterLength(const QByteArray& bytes) {
    for (qsizetype back = 1; back <= std::min<qsizetype>(3, bytes.size()); ++back) {
        const auto byte = uchar(bytes[bytes.size() - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: look further back for the lead byte
        const qsizetype needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return needed > back ? back : 0;
    }
    return 0;
}

} // namespace

QStringList Logger::lastLines(const QString& path, qsizetype count) {
    if (count <= 0)
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    const qint64 start = startOfLastLines(file, size, count);
    if (start < 0 || !file.seek(start))
        return {};
    const QByteArray bytes = file.read(size - start);
    if (bytes.size() != size - start)
        return {};
    return splitLines(bytes);
}

LogChunk Logger::tail(const QString& path, quint64 offset) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {{}, offset};
    const auto size = quint64(file.size());
    if (size == offset)
        return {{}, offset};
    // A shorter file was rotated or truncated: all of it is new.
    const quint64 from = size < offset ? 0 : offset;
    // Past the limit, read the last tailReadLimit bytes and one before them, which tells whether
    // the first of them starts a line.
    const bool bounded = size - from > tailReadLimit;
    const quint64 readFrom = bounded ? size - tailReadLimit - 1 : from;
    // Read only up to the size measured, so bytes written meanwhile come with the next call
    // instead of twice.
    if (!file.seek(qint64(readFrom)))
        return {{}, size};
    QByteArray bytes = file.read(qint64(size - readFrom));
    qsizetype start = 0;
    bool cut = false;
    if (bounded) {
        // Start at the first line boundary, unless nothing but line feeds follows it: then the
        // newest line is longer than the limit and its end comes back, marked as cut.
        const qsizetype firstBreak = bytes.indexOf('\n');
        const bool lineFollows = firstBreak >= 0 && std::any_of(bytes.cbegin() + firstBreak + 1, bytes.cend(),
                                                                [](char byte) { return byte != '\n'; });
        if (lineFollows) {
            start = firstBreak + 1;
        } else {
            start = 1;
            // Not in the middle of a character, which would make the whole read invalid.
            while (start < bytes.size() && (uchar(bytes[start]) & 0xC0) == 0x80)
                ++start;
            cut = start < bytes.size() && bytes[start] != '\n';
        }
    }
    bytes.remove(0, start);
    // A character the agent is still writing stays for the next call, so the chunk is not
    // taken for invalid text and skipped.
    const qsizetype unfinished = unfinishedCharacterLength(bytes);
    bytes.chop(unfinished);
    LogChunk chunk{splitLines(bytes), size - quint64(unfinished), readFrom + quint64(start) - from};
    if (cut && !chunk.lines.isEmpty())
        chunk.lines.first().prepend(QChar(cutMark));
    return chunk;
}

quint64 Logger::endOffset(const QString& path) {
    const QFileInfo log(path);
    return log.isFile() ? quint64(log.size()) : 0;
}

QStringList Logger::lastLines(qsizetype count) {
    return lastLines(AgentEnvironment::current().logPath, count);
}

LogChunk Logger::tail(quint64 offset) {
    return tail(AgentEnvironment::current().logPath, offset);
}

quint64 Logger::endOffset() {
    return endOffset(AgentEnvironment::current().logPath);
}

QString Logger::formatLine(const QDateTime& when, const QString& level, const QString& message) {
    QString oneLine = message;
    oneLine.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    return QLatin1Char('[') + when.toUTC().toString(Qt::ISODate) + QStringLiteral("] [") + level +
           QStringLiteral("] ") + oneLine;
}

QString Logger::appendCommand(const QString& line, const QString& logPath) {
    // printf with a single-quoted argument writes the line byte for byte; nothing in it is
    // expanded by the root shell.
    return QStringLiteral("printf '%s\\n' ") + shellQuote(line) + QStringLiteral(" >> ") +
           shellQuote(logPath);
}

bool Logger::append(const QString& message, const QString& level) {
    const QString line = formatLine(QDateTime::currentDateTimeUtc(), level, message);
    return runPrivileged(appendCommand(line, AgentEnvironment::current().logPath));
}
