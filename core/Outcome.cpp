#include "core/Outcome.h"

Outcome Outcome::success() {
    return {true, {}};
}

Outcome Outcome::failure(const QString& message) {
    QString text = message.simplified();
    while (text.endsWith(QLatin1Char('.')))
        text.chop(1);
    return {false, text.isEmpty() ? QStringLiteral("The operation failed") : text};
}
