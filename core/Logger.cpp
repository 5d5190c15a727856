#include "core/Logger.h"

#include "core/AgentEnvironment.h"
#include "core/Privileged.h"
#include "core/TextCheck.h"

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
    return count > 0 ? lastChunk(path, count).lines : QStringList();
}

LogChunk Logger::lastChunk(const QString& path, qsizetype count) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const qint64 size = file.size();
    const qint64 start = count > 0 ? startOfLastLines(file, size, count) : size;
    if (start < 0)
        return {};
    BoundedRead read = readBounded(file, start, size);
    if (read.start < 0 || read.start + read.bytes.size() != size)
        return {};
    // A character the agent is still writing comes with tail, whole.
    const qsizetype unfinished = unfinishedCharacterLength(read.bytes);
    read.bytes.chop(unfinished);
    return {linesOf(read), quint64(size - unfinished), quint64(read.start - start), read.cut,
            !read.bytes.isEmpty() && !read.bytes.endsWith('\n')};
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
    bool continues = read.cut;
    if (from == offset && from > 0 && quint64(read.start) == from && !read.bytes.startsWith('\n'))
        continues = file.seek(qint64(from) - 1) && file.read(1) != "\n";
    return {linesOf(read), size - quint64(unfinished), quint64(read.start) - from, continues,
            !read.bytes.isEmpty() && !read.bytes.endsWith('\n')};
}

quint64 Logger::endOffset(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || QFileInfo(file).isDir())
        return 0;
    const qint64 size = file.size();
    if (!file.seek(std::max<qint64>(0, size - 3)))
        return quint64(size);
    return quint64(size - unfinishedCharacterLength(file.read(3)));
}

QStringList Logger::lastLines(qsizetype count) {
    return lastLines(AgentEnvironment::current().logPath, count);
}

LogChunk Logger::lastChunk(qsizetype count) {
    return lastChunk(AgentEnvironment::current().logPath, count);
}

LogChunk Logger::tail(quint64 offset) {
    return tail(AgentEnvironment::current().logPath, offset);
}

quint64 Logger::endOffset() {
    return endOffset(AgentEnvironment::current().logPath);
}

QString Logger::formatLine(const QDateTime& when, const QString& level, const QString& message) {
    return QLatin1Char('[') + when.toUTC().toString(Qt::ISODate) + QStringLiteral("] [") + level +
           QStringLiteral("] ") + TextCheck::oneLine(message);
}

bool Logger::isWellFormedLine(const QString& line) {
    static const QRegularExpression form(QStringLiteral(
        "\\A\\[(\\d{4})-(\\d\\d)-(\\d\\d)T(\\d\\d):(\\d\\d):(\\d\\d)Z\\] \\[[A-Z]+\\] [^\\r\\n]*\\z"));
    const QRegularExpressionMatch match = form.match(line);
    if (!match.hasMatch() ||
        std::any_of(line.cbegin(), line.cend(), [](QChar c) { return TextCheck::breaksLine(c.unicode()); }))
        return false;
    const auto number = [&match](int field) {
        return match.capturedView(field).toInt();
    };
    // Parsed here: QDateTime takes 24:00:00 for the next midnight.
    return QDate::isValid(number(1), number(2), number(3)) && QTime::isValid(number(4), number(5), number(6));
}

QString Logger::lineProblem(QByteArrayView line) {
    if (QString problem = TextCheck::lineProblem(line); !problem.isEmpty())
        return problem;
    if (!isWellFormedLine(TextCheck::decode(line)))
        return QStringLiteral("the line is not of the form [TIME] [LEVEL] message");
    return {};
}

QString Logger::writeProblem(const QString& line) {
    // A lone surrogate would be written as "?".
    const QByteArray bytes = line.toUtf8();
    QString problem = lineProblem(bytes);
    if (problem.isEmpty() && TextCheck::decode(bytes) != line)
        problem = QStringLiteral("the line holds text that is not valid Unicode");
    return problem;
}

void Logger::append(const QString& message, const QString& level, QObject* context, OutcomeHandler done) {
    const QString line = formatLine(QDateTime::currentDateTimeUtc(), level, message);
    if (const QString problem = writeProblem(line); !problem.isEmpty())
        return refuseWithoutRunning(problem, context,
                                    [done](const RootResult& result) { done(result.outcome); });
    appendLogLine(line, context, std::move(done));
}
