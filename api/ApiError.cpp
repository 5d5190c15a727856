#include "api/ApiError.h"

ApiError ApiError::networkError(const QString& message) {
    return ApiError{Kind::networkError, 0, message};
}

ApiError ApiError::serverError(int statusCode, const QString& message) {
    return ApiError{Kind::serverError, statusCode, message};
}

ApiError ApiError::parseError(const QString& message) {
    return ApiError{Kind::parseError, 0, message};
}

QString ApiError::errorDescription() const {
    switch (kind) {
    case Kind::networkError:
    case Kind::serverError:
        // The status code is not part of what the user reads.
        return message;
    case Kind::parseError:
        return QStringLiteral("Parse error: ") + message;
    }
    return message;
}
