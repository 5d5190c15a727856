#include "core/TextCheck.h"

#include <QStringDecoder>

namespace {

// Where the character that begins at bytes[i] ends, or -1 when none begins there.
qsizetype characterEnd(QByteArrayView bytes, qsizetype i) {
    const auto lead = uchar(bytes[i]);
    if (lead < 0x80)
        return i + 1;
    // The range of the second byte depends on the lead byte; the ones after it are 80..BF.
    qsizetype length = 0;
    uchar low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;  // no overlong form
        high = lead == 0xED ? 0x9F : 0xBF; // no surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;  // no overlong form
        high = lead == 0xF4 ? 0x8F : 0xBF; // nothing past U+10FFFF
    } else
        return -1;
    if (bytes.size() - i < length)
        return -1; // cut off at the end
    for (qsizetype k = 1; k < length; ++k) {
        const auto next = uchar(bytes[i + k]);
        if (next < (k == 1 ? low : 0x80) || next > (k == 1 ? high : 0xBF))
            return -1;
    }
    return i + length;
}

} // namespace

bool TextCheck::isUtf8(QByteArrayView bytes) {
    for (qsizetype i = 0; i < bytes.size();) {
        i = characterEnd(bytes, i);
        if (i < 0)
            return false;
    }
    return true;
}

bool TextCheck::breaksLine(char32_t c) {
    return (c < 0x20 && c != u'\t') || (c >= 0x7F && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

QString TextCheck::documentProblem(QByteArrayView bytes) {
    if (bytes.contains('\0'))
        return QStringLiteral("the input holds a NUL byte");
    if (!isUtf8(bytes))
        return QStringLiteral("the input is not valid UTF-8");
    if (bytes.startsWith("\xEF\xBB\xBF"))
        return QStringLiteral("the input begins with a byte-order mark");
    return {};
}

QString TextCheck::lineProblem(QByteArrayView bytes) {
    if (QString problem = documentProblem(bytes); !problem.isEmpty())
        return problem;
    for (const QChar c : decode(bytes)) {
        if (c == u'\n' || c == u'\r')
            return QStringLiteral("the input holds more than one line");
        if (breaksLine(c.unicode()))
            return QStringLiteral("the line holds U+") +
                   QString::number(c.unicode(), 16).toUpper().rightJustified(4, u'0') +
                   QStringLiteral(", a control character or line separator");
    }
    return {};
}

QString TextCheck::oneLine(const QString& text) {
    QString line = text;
    for (QChar& c : line) {
        if (breaksLine(c.unicode()))
            c = u' ';
    }
    return line;
}

QString TextCheck::decode(QByteArrayView utf8) {
    QStringDecoder decoder(QStringConverter::Utf8, QStringConverter::Flag::ConvertInitialBom);
    return decoder.decode(utf8);
}
