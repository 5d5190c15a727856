#pragma once

#include <QString>

// The companion's version, compiled in from the project version; "1.0.0" when empty.
QString appVersion();
