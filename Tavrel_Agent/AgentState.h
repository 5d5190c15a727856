#pragma once

#include "core/AgentConfig.h"
#include "core/Privileged.h"

#include <QObject>
#include <QString>

#include <optional>

class QTimer;

// The agent as this app sees it, for the status item and the main window alike: the service's
// state, the stored configuration, and whether a root operation is running. Looks every 3
// seconds for the whole run (the first look at once), and again after each service command.
class AgentState final : public QObject {
    Q_OBJECT
public:
    enum class Service { Checking, Running, Stopped, NotInstalled };

    explicit AgentState(QObject* parent = nullptr);

    Service service() const { return serviceState; }
    // "Checking" before the first look, then "Running", "Stopped" or "Not Installed".
    QString serviceText() const;
    const AgentConfig& config() const { return configuration; }
    bool rootOperationRunning() const;
    // A stop or restart from this app that has not been looked at since it ended.
    bool ownStopInProgress() const { return ownStops > 0; }

    // Looks now; what it finds is published once the current callback has returned.
    void refresh();
    // A look has been taken and waits to be published.
    bool lookPending() const { return pendingLooks > 0; }
    // Runs a service command without waiting, then looks again 1.5 s (start, stop) or 4 s
    // (restart) after it ended. done gets the outcome unless context is gone by then.
    void runServiceCommand(ServiceCommand command, QObject* context, OutcomeHandler done);

Q_SIGNALS:
    // The service's state or the configuration changed.
    void changed();
    // A look was taken, changed or not.
    void refreshed();
    void rootOperationRunningChanged(bool running);

private:
    void publish(Service service, const AgentConfig& config);

    Service serviceState = Service::Checking;
    AgentConfig configuration = AgentConfig::defaults();
    ConfigReader configReader;
    int ownStops = 0;
    int pendingLooks = 0;
    QTimer* refreshTimer = nullptr;
};
