#pragma once

#include <QByteArrayView>
#include <QString>

// The strict reading of text that crosses into root-owned files: the helper judges its payloads
// with it, and the app the same way before it asks for an administrator, so that a refusal comes
// without a prompt.
namespace TextCheck {

// Whether bytes are UTF-8 as a whole, judged without state: an overlong form, a surrogate, a code
// point past U+10FFFF or a sequence cut off at the end is an error.
bool isUtf8(QByteArrayView bytes);
// Characters a reader may take as the end of a line, or a terminal as a command: every C0 and C1
// control but the tab (DEL included), U+2028 and U+2029.
bool breaksLine(char32_t c);

// What a strict reader would object to in a document (a configuration, a log line), or an empty
// string: text that is not UTF-8, a byte-order mark, a NUL byte.
QString documentProblem(QByteArrayView bytes);
// The same, and any character that breaks a line, for a log line without its line feed.
QString lineProblem(QByteArrayView bytes);

// text with every character that breaks a line turned into a space.
QString oneLine(const QString& text);
// UTF-8 decoded exactly: a leading U+FEFF stays a character. For text isUtf8 accepts.
QString decode(QByteArrayView utf8);

} // namespace TextCheck
