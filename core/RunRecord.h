#pragma once

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>

// What this run remembers for a support report, in memory only: nothing here is ever written to
// disk but inside a report the user saves.

// One root operation or server call, as it ended.
struct RecentEvent final {
    QDateTime time; // UTC
    QString operation;
    bool succeeded = false;
    QString reason; // why it failed; empty on success
};

// The newest events, oldest first; past its capacity the oldest one goes. Safe from any thread,
// since server answers may arrive on another one.
class EventRing final {
public:
    static constexpr qsizetype defaultCapacity = 50;

    explicit EventRing(qsizetype capacity = defaultCapacity);

    void record(RecentEvent event);
    QList<RecentEvent> events() const;

private:
    mutable QMutex mutex;
    qsizetype capacity = defaultCapacity;
    QList<RecentEvent> kept;
};

namespace RunRecord {
// The events of this run.
EventRing& events();
// Records an event that ends now.
void record(const QString& operation, bool succeeded, const QString& reason = {});

// Text that no report may contain: every password sent to the server and every token it gave in
// this run. Empty text is not kept.
void rememberSecret(const QString& secret);
QStringList secrets();
} // namespace RunRecord
