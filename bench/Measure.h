#pragma once

#include <QtGlobal>

// What the benchmarks read about their own process (Linux).
namespace Measure {
// A "VmRSS:"-style field of /proc/self/status, in KiB; -1 when it is not there.
qint64 statusKiB(const char* field);
// Resets the peak resident size to the present one (Linux 4.0+); false where not allowed.
bool resetPeakRss();
} // namespace Measure
