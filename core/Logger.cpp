#include "core/Logger.h"

#include "core/AgentEnvironment.h"
#include "core/Privileged.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
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

// Where the last count non-empty lines of the file begin, found by reading backwards in blocks
// no further than the read limit; 0 when there are fewer lines than that.
qint64 startOfLastLines(QFile& file, qint64 size, qsizetype count) {
    const qint64 floor = std::max<qint64>(0, size - qint64(Logger::readLimit));
    qsizetype found = 0;
    qint64 pieceLength = 0;
    for (qint64 end = size; end > floor;) {
        const qint64 begin = std::max(floor, end - blockSize);
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

struct BoundedRead final {
    QByteArray bytes;
    qint64 start = -1; // where bytes begin in the file; -1 when the file could not be read
    bool cut = false;  // bytes begin inside a line
};

// The file's bytes from begin to end. Past the read limit only the last part of them: from their
// first line boundary, unless nothing but line feeds follows it; then the newest line alone is
// longer than the limit, and its end comes back from its first whole character, marked as cut.
BoundedRead readBounded(QFile& file, qint64 begin, qint64 end) {
    // The byte before the last readLimit tells whether the first of them starts a line.
    const bool bounded = end - begin > qint64(Logger::readLimit);
    const qint64 readFrom = bounded ? end - qint64(Logger::readLimit) - 1 : begin;
    if (!file.seek(readFrom))
        return {};
    BoundedRead read{file.read(end - readFrom), readFrom};
    if (!bounded)
        return read;
    QByteArray& bytes = read.bytes;
    const qsizetype firstBreak = bytes.indexOf('\n');
    const bool lineFollows = firstBreak >= 0 && std::any_of(bytes.cbegin() + firstBreak + 1, bytes.cend(),
                                                            [](char byte) { return byte != '\n'; });
    qsizetype start = firstBreak + 1;
    if (!lineFollows) {
        // Not in the middle of a character, which would make the whole read invalid.
        for (start = 1; start < bytes.size() && (uchar(bytes[start]) & 0xC0) == 0x80;)
            ++start;
        read.cut = start < bytes.size() && bytes[start] != '\n';
    }
    bytes.remove(0, start);
    read.start += start;
    return read;
}

// Marks the first line as cut when its start was not read.
QStringList linesOf(const BoundedRead& read) {
    QStringList lines = splitLines(read.bytes);
    if (read.cut && !lines.isEmpty())
        lines.first().prepend(QChar(Logger::cutMark));
    return lines;
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
    if (start < 0)
        return {};
    const BoundedRead read = readBounded(file, start, size);
    if (read.start < 0 || read.start + read.bytes.size() != size)
        return {};
    return linesOf(read);
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
    // Read only up to the size measured, so bytes written meanwhile come with the next call
    // instead of twice.
    BoundedRead read = readBounded(file, qint64(from), qint64(size));
    if (read.start < 0)
        return {{}, size};
    // A character the agent is still writing stays for the next call, so the chunk is not
    // taken for invalid text and skipped.
    const qsizetype unfinished = unfinishedCharacterLength(read.bytes);
    read.bytes.chop(unfinished);
    return {linesOf(read), size - quint64(unfinished), quint64(read.start) - from};
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

bool Logger::isWellFormedLine(const QString& line) {
    static const QRegularExpression form(
        QStringLiteral("\\A\\[(\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ)\\] \\[[A-Z]+\\] [^\\r\\n]*\\z"));
    const QRegularExpressionMatch match = form.match(line);
    return match.hasMatch() && QDateTime::fromString(match.captured(1), Qt::ISODate).isValid();
}

void Logger::append(const QString& message, const QString& level, QObject* context, OutcomeHandler done) {
    appendLogLine(formatLine(QDateTime::currentDateTimeUtc(), level, message), context, std::move(done));
}
