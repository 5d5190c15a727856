#include "Tavrel_Agent/StatusMenuDisplay.h"

#include "Tavrel_Agent/ViewHelpers.h"
#include "core/ServiceControl.h"

StatusMenuDisplay initialStatusMenuDisplay() {
    return {
        .state = QLatin1String(ServiceState::Checking),
        .statusTitle = QStringLiteral("Status: Checking\u2026"),
        .computerIDTitle = QStringLiteral("ID: \u2014"),
        .stopEnabled = false,
        .restartEnabled = false,
        .toolTip = {},
        .toolTipText = {},
        .iconColor = Style::stateColor(QLatin1String(ServiceState::Checking)),
    };
}

StatusMenuDisplay statusMenuDisplay(const QString& state, const QString& computerID) {
    const bool running = state == QLatin1String(ServiceState::Running);
    const bool stopped = state == QLatin1String(ServiceState::Stopped);
    // Only an empty ID counts as unregistered here; a missing token does not.
    const QString shownID = computerID.isEmpty() ? QStringLiteral("Not registered") : computerID;
    return {
        .state = state,
        .statusTitle = QStringLiteral("Status: ") + state,
        .computerIDTitle = QStringLiteral("ID: ") + shownID,
        .stopEnabled = running,
        .restartEnabled = running || stopped,
        .toolTip = QStringLiteral("Tavrel Agent \u2013 ") + state,
        .toolTipText = computerID.isEmpty() ? QStringLiteral("Not registered")
                                            : QStringLiteral("Computer ID: ") + computerID,
        .iconColor = Style::stateColor(state),
    };
}
