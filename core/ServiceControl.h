#pragma once

#include <QString>

namespace ServiceState {
inline constexpr char Running[] = "Running";
inline constexpr char Stopped[] = "Stopped";
inline constexpr char NotInstalled[] = "Not Installed";
inline constexpr char Checking[] = "Checking"; // shown by the status menu before its first update
} // namespace ServiceState

// "Running", "Stopped" or "Not Installed". Runs the environment's process search; never fails.
QString getAgentServiceStatus();

// How often the status menu and the main window look at the state.
inline constexpr int statusRefreshIntervalMs = 3000;

// How long callers wait after a command before they look at the state again.
inline constexpr int startRecheckDelayMs = 1500;
inline constexpr int stopRecheckDelayMs = 1500;
inline constexpr int restartRecheckDelayMs = 4000;
