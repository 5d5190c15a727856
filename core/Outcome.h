#pragma once

#include <QString>

#include <utility>

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

// How a root operation ended. A run of two steps that did the first (the configuration is stored)
// and failed at the second (its log line) says so.
struct RootResult final {
    Outcome outcome;
    bool firstStepDone = false;

    // From a plain outcome: a run of one step.
    RootResult(Outcome result = Outcome::success(),
               bool firstDone = false) // NOLINT(google-explicit-constructor)
        : outcome(std::move(result))
        , firstStepDone(firstDone) {}
};
