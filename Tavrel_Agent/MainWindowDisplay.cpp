#include "Tavrel_Agent/MainWindowDisplay.h"

#include "Tavrel_Agent/ViewHelpers.h"
#include "core/ServiceControl.h"

QString MainWindowText::notRegisteredId() {
    return QStringLiteral("Not registered");
}

QString MainWindowText::emptyValue() {
    return QStringLiteral("\u2014");
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
