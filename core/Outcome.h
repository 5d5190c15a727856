#pragma once

#include <QString>

// The result of an operation that changes root-owned state: success, or failure with a message a
// person can read ("Not authorized", "Request dismissed", the helper's or service manager's own
// words). The message never ends in a full stop, so callers can put it inside a sentence.
struct [[nodiscard]] Outcome final {
    bool succeeded = false;
    QString message;

    explicit operator bool() const { return succeeded; }
    static Outcome success();
    static Outcome failure(const QString& message);
};
