#include "core/Version.h"

QString appVersion() {
    static const QString version = [] {
        const QString compiled = QStringLiteral(TAVREL_VERSION);
        return compiled.isEmpty() ? QStringLiteral("1.0.0") : compiled;
    }();
    return version;
}
