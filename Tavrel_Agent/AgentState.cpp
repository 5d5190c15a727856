#include "Tavrel_Agent/AgentState.h"

#include "Tavrel_Agent/ViewHelpers.h"
#include "core/ServiceControl.h"

#include <QPointer>
#include <QTimer>

namespace {
AgentState::Service classify(const QString& state) {
    if (state == QLatin1String(ServiceState::Running))
        return AgentState::Service::Running;
    return state == QLatin1String(ServiceState::Stopped) ? AgentState::Service::Stopped
                                                         : AgentState::Service::NotInstalled;
}
} // namespace

AgentState::AgentState(QObject* parent)
    : QObject(parent) {
    connect(&RootActivity::instance(), &RootActivity::runningChanged, this,
            &AgentState::rootOperationRunningChanged);
    // A look of the timer's is published at once: no second pass of the event loop per wakeup.
    refreshTimer =
        startRefreshTimer(this, [this] { publish(classify(getAgentServiceStatus()), configReader.load()); });
    refresh();
}

QString AgentState::serviceText() const {
    switch (serviceState) {
    case Service::Checking:
        return QString::fromLatin1(ServiceState::Checking);
    case Service::Running:
        return QString::fromLatin1(ServiceState::Running);
    case Service::Stopped:
        return QString::fromLatin1(ServiceState::Stopped);
    case Service::NotInstalled:
        break;
    }
    return QString::fromLatin1(ServiceState::NotInstalled);
}

bool AgentState::rootOperationRunning() const {
    return RootActivity::instance().running();
}

void AgentState::refresh() {
    const Service service = classify(getAgentServiceStatus());
    const AgentConfig config = configReader.load();
    ++pendingLooks;
    // Bound to this object: dropped if it is gone by then.
    QMetaObject::invokeMethod(
        this,
        [this, service, config] {
            --pendingLooks;
            publish(service, config);
        },
        Qt::QueuedConnection);
}

void AgentState::publish(Service service, const AgentConfig& config) {
    const bool different = service != serviceState || config != configuration;
    serviceState = service;
    configuration = config;
    if (different)
        Q_EMIT changed();
    Q_EMIT refreshed();
}

void AgentState::runServiceCommand(ServiceCommand command, QObject* context, OutcomeHandler done) {
    const bool stops = command != ServiceCommand::Start;
    ownStops += stops;
    const int delayMs = command == ServiceCommand::Start  ? startRecheckDelayMs
                        : command == ServiceCommand::Stop ? stopRecheckDelayMs
                                                          : restartRecheckDelayMs;
    ::runServiceCommand(command, this,
                        [this, stops, delayMs, caller = QPointer<QObject>(context),
                         hasCaller = context != nullptr, done](const Outcome& outcome) {
                            scheduleRecheck(this, delayMs, [this, stops] {
                                refresh();
                                // The look's result is published after this: the stop still counts
                                // as ours then.
                                QMetaObject::invokeMethod(
                                    this, [this, stops] { ownStops -= stops; }, Qt::QueuedConnection);
                            });
                            if (!hasCaller || caller)
                                done(outcome);
                        });
}
