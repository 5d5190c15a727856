#include "Tavrel_Agent/MainWindowDisplay.h"

#include "Tavrel_Agent/ViewHelpers.h"
#include "core/ServiceControl.h"

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
