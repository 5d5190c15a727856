#pragma once

#include "core/AgentConfig.h"
#include "core/Logger.h"

#include <QColor>
#include <QString>
#include <QStringList>

// What the main window's status panel shows for one configuration and one service state.
struct MainWindowDisplay final {
    QString computerID;   // selectable field; "Not registered" when there is none
    QString clientName;   // "—" when empty
    QString locationName; // "—" when empty
    QString apiUrl;       // as stored, also when empty
    QString registration;
    QColor registrationColor;
    QString serviceState;
    QColor serviceStateColor;
    bool startEnabled = false;
    bool stopEnabled = false;
    bool restartEnabled = true;

    bool operator==(const MainWindowDisplay&) const = default;
};

MainWindowDisplay mainWindowDisplay(const AgentConfig& config, const QString& state);

namespace MainWindowText {
QString notRegisteredId(); // "Not registered": also what the Copy button refuses to copy
QString emptyValue();      // "—"
// The most of one log line the pane shows, five or six of its rows. The pane's cost of dropping
// its oldest lines grows with their length, and a tick of a busy log must stay quick.
inline constexpr qsizetype longestLogLine = 500;
// The log pane's line for bytes of log it did not read: "… 812 MB of log skipped …".
QString logSkipped(quint64 bytes);
} // namespace MainWindowText

// What the log pane shows of the chunks the log gives, in order. Debug lines are for the agent's
// developers, not for the person at the computer: "[DEBUG]" is judged on the whole line, also
// when it comes in pieces. A line whose start was not read cannot be judged and is not shown. The
// end of an unfinished piece that could begin the tag ("[DE") waits for the rest of its line.
class LogPaneLines final {
public:
    QStringList take(const LogChunk& chunk);

private:
    bool openLineHidden = false; // the last line has no line feed yet and is not shown
    QString heldBack;            // the last line's end that could begin the tag, not shown yet
};
