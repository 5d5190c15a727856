#include "Tavrel_Agent/StopNotice.h"

#include "core/ServiceControl.h"

bool StopNotice::stateChanged(const QString& oldState, const QString& newState, bool ownCommandInProgress,
                              Clock::time_point now) {
    const bool stopped = newState == QLatin1String(ServiceState::Stopped) ||
                         newState == QLatin1String(ServiceState::NotInstalled);
    if (oldState != QLatin1String(ServiceState::Running) || !stopped || ownCommandInProgress)
        return false;
    // An agent that keeps crashing and being restarted must not flood the desktop.
    if (lastNotified && now - *lastNotified < quietPeriod)
        return false;
    lastNotified = now;
    return true;
}

QString StopNotice::title() {
    return QStringLiteral("Tavrel Agent stopped");
}

QString StopNotice::text() {
    return QStringLiteral("The agent service is no longer running on this computer.");
}
