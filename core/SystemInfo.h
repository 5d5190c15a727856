#pragma once

#include <QString>

// Host facts sent to the server. Each is computed afresh; a fact not found is empty.
namespace SystemInfo {
QString ipAddress();
QString osVersion();
QString utcOffset();
QString computerName(); // the user-visible computer name, else the host name
QString userName();     // login name of the user running us

QString formatUtcOffset(int secondsFromUtc); // "+05:30"
QString formatMacOSVersion(int major, int minor, int patch);
} // namespace SystemInfo
