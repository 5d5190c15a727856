#pragma once

#include <QString>

// Why a server call failed. errorDescription() is the text shown to the user.
struct ApiError final {
    enum class Kind { networkError, serverError, parseError };

    Kind kind = Kind::networkError;
    int statusCode = 0; // serverError only
    QString message;

    static ApiError networkError(const QString& message);
    static ApiError serverError(int statusCode, const QString& message);
    static ApiError parseError(const QString& message);

    QString errorDescription() const;
    bool operator==(const ApiError&) const = default;
};
