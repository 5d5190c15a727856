#pragma once

#include <QString>

#include <chrono>
#include <optional>

// When to tell the user that the agent stopped by itself: on a change from "Running" to "Stopped"
// or "Not Installed" that no stop or restart from this app explains, at most once in ten minutes.
// The first state seen at start-up is no change from "Running", so it never notifies.
class StopNotice final {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::minutes quietPeriod{10};

    // Feeds one change of state; true when this change is to be notified now.
    bool stateChanged(const QString& oldState, const QString& newState, bool ownCommandInProgress,
                      Clock::time_point now);

    static QString title();
    static QString text();

private:
    std::optional<Clock::time_point> lastNotified;
};
