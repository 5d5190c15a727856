#include "Tavrel_Agent/MainWindowDisplay.h"

#include "Tavrel_Agent/ViewHelpers.h"
#include "core/ServiceControl.h"
#include "core/TextCheck.h"

#include <QLocale>

QString MainWindowText::notRegisteredId() {
    return QStringLiteral("Not registered");
}

QString MainWindowText::emptyValue() {
    return QStringLiteral("\u2014");
}

QString MainWindowText::logSkipped(quint64 bytes) {
    // Three figures are plenty: "812 MB", "4.2 GB", "57 bytes".
    double inUnit = double(bytes);
    while (inUnit >= 1000)
        inUnit /= 1000;
    const int decimals = inUnit < 10 ? 1 : 0;
    const QString size =
        bytes == 1 ? QStringLiteral("1 byte")
                   : QLocale().formattedDataSize(qint64(bytes), decimals, QLocale::DataSizeSIFormat);
    return QStringLiteral("\u2026 %1 of log skipped \u2026").arg(size);
}

static QString orEmptyValue(const QString& text) {
    return text.isEmpty() ? MainWindowText::emptyValue() : text;
}

MainWindowDisplay mainWindowDisplay(const AgentConfig& config, const QString& state) {
    MainWindowDisplay display;
    display.computerID = config.computerID.isEmpty() ? MainWindowText::notRegisteredId() : config.computerID;
    display.clientName = orEmptyValue(config.clientName);
    display.locationName = orEmptyValue(config.locationName);
    display.apiUrl = config.apiBaseUrl;
    // Registration needs a token as well: a computer ID alone is not enough.
    if (config.isRegistered()) {
        display.registration = QStringLiteral("Agent is registered with Tavrel.");
        display.registrationColor = Style::successColor();
    } else {
        display.registration =
            QStringLiteral("Agent is NOT registered.  Click  Setup / Settings  to register.");
        display.registrationColor = Style::warningColor();
    }
    display.serviceState = state;
    display.serviceStateColor = Style::stateColor(state);
    const bool running = state == QLatin1String(ServiceState::Running);
    display.startEnabled = !running;
    display.stopEnabled = running;
    display.restartEnabled = true;
    return display;
}

namespace {

const QLatin1StringView debugTag("[DEBUG]");

// How many characters at the end of line could begin the debug tag.
qsizetype tagStartAtEnd(QStringView line) {
    for (qsizetype length = std::min(debugTag.size() - 1, line.size()); length > 0; --length) {
        if (line.endsWith(debugTag.left(length)))
            return length;
    }
    return 0;
}

// One row of the pane: without the carriage return of a CRLF line end, nothing in it that would
// break the row, and of a very long line its start, which says what it is, marked where it is cut.
QString shownLine(QString line) {
    if (line.endsWith(u'\r'))
        line.chop(1);
    // Cut before the row is cleaned: one character stands for one, and of a line of a gigabyte
    // only the start is looked at.
    constexpr qsizetype longest = MainWindowText::longestLogLine;
    if (line.size() <= longest)
        return TextCheck::oneLine(line);
    const qsizetype length = line.at(longest - 1).isHighSurrogate() ? longest - 1 : longest;
    return TextCheck::oneLine(line.left(length)) + QChar(Logger::cutMark);
}

} // namespace

QStringList LogPaneLines::take(const LogChunk& chunk) {
    QStringList shown;
    if (!chunk.continuesLine) {
        // The unfinished line ended where it stood: what waited is the rest of it.
        if (!heldBack.isEmpty() && !openLineHidden)
            shown.append(shownLine(heldBack));
        heldBack.clear();
        openLineHidden = false;
    }
    for (qsizetype i = 0; i < chunk.lines.size(); ++i) {
        QString line = chunk.lines.at(i);
        const bool continued = i == 0 && chunk.continuesLine;
        if (continued) {
            line.prepend(heldBack);
            heldBack.clear();
        }
        // Without the skipped bytes nobody knows how a continued line began (and a line of a
        // gigabyte is not searched through for nothing).
        const bool hidden =
            (continued && (openLineHidden || chunk.skippedBytes > 0)) || line.contains(debugTag);
        if (i == chunk.lines.size() - 1 && chunk.lineOpen) {
            openLineHidden = hidden;
            if (!hidden) {
                heldBack = line.right(tagStartAtEnd(line));
                line.chop(heldBack.size());
            }
        }
        if (!hidden && !line.isEmpty())
            shown.append(shownLine(line));
    }
    if (!chunk.lineOpen && !chunk.lines.isEmpty()) {
        heldBack.clear();
        openLineHidden = false;
    }
    return shown;
}
