#pragma once

#include <QColor>
#include <QString>

// What the status menu and its icon show for one service state and computer ID.
struct StatusMenuDisplay final {
    QString state;
    QString statusTitle;
    QString computerIDTitle;
    bool stopEnabled = false;
    bool restartEnabled = false;
    QString toolTip;     // empty: none set yet
    QString toolTipText; // the tooltip's second line: the computer ID, or that there is none
    QColor iconColor;

    bool operator==(const StatusMenuDisplay&) const = default;
};

// The menu as built, before the first status check has been shown.
StatusMenuDisplay initialStatusMenuDisplay();
// The menu after a status check: the state string and the stored computer ID decide everything.
StatusMenuDisplay statusMenuDisplay(const QString& state, const QString& computerID);
