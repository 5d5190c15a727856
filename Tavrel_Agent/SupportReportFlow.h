#pragma once

#include "core/SupportReport.h"

#include <QString>

class AgentState;
class QDateTime;
class QWidget;
class StatusBarController;

// "Save Support Report…" from the status menu or the main window.
namespace SupportReportFlow {
// The documents folder (else the home folder) and the report's name for that time.
QString suggestedPath(const QDateTime& now);
// Whether a polkit authentication agent can answer this session's administrator prompts. For now:
// whether polkit (org.freedesktop.PolicyKit1) is on the system bus or the session bus.
bool authenticationAgentAvailable();
// What only the app knows, as it is now.
SupportReport::AppFacts appFacts(const AgentState& state, const StatusBarController& statusBar);
// Asks where, then reads every fact, takes the secrets out and writes the report; a notification
// says where it went, an alert why it could not be written.
void save(QWidget* parent, const AgentState& state, StatusBarController& statusBar);
} // namespace SupportReportFlow
