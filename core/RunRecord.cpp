#include "core/RunRecord.h"

#include <QMutexLocker>

EventRing::EventRing(qsizetype ringCapacity)
    : capacity(qMax<qsizetype>(1, ringCapacity)) {}

void EventRing::record(RecentEvent event) {
    const QMutexLocker lock(&mutex);
    if (kept.size() == capacity)
        kept.removeFirst();
    kept.append(std::move(event));
}

QList<RecentEvent> EventRing::events() const {
    const QMutexLocker lock(&mutex);
    return kept;
}

namespace {
QMutex secretsMutex;
QStringList& secretList() {
    static QStringList list;
    return list;
}
} // namespace

EventRing& RunRecord::events() {
    static EventRing ring;
    return ring;
}

void RunRecord::record(const QString& operation, bool succeeded, const QString& reason) {
    events().record({QDateTime::currentDateTimeUtc(), operation, succeeded, reason});
}

void RunRecord::rememberSecret(const QString& secret) {
    if (secret.isEmpty())
        return;
    const QMutexLocker lock(&secretsMutex);
    if (!secretList().contains(secret))
        secretList().append(secret);
}

QStringList RunRecord::secrets() {
    const QMutexLocker lock(&secretsMutex);
    return secretList();
}
