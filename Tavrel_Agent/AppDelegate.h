#pragma once

#include "core/AgentEnvironment.h"

#include <QObject>
#include <QStringList>

// Entry point shared by tavrel-agent and the sandboxed demo: single-instance rule (a lock named
// after instanceKey), then the application on the given environment.
int runTavrelApp(int argc, char* argv[], AgentEnvironment environment, const QString& instanceKey);
