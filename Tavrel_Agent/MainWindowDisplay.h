#pragma once

#include "core/AgentConfig.h"

#include <QColor>
#include <QString>

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
} // namespace MainWindowText
