#pragma once

#include <QAbstractButton>
#include <QMessageBox>

#include <functional>

enum class ServiceCommand;

// Every modal alert goes through here, so tests can answer it without blocking.
namespace Dialogs {
// The hook sees the fully built box and answers it, e.g. by clicking one of its buttons.
using Hook = std::function<void(QMessageBox&)>;
void setHook(Hook hook);
// Runs the box modally (or through the hook) and returns the button that ended it, if any.
QAbstractButton* run(QMessageBox& box);

// The alert for a service command that failed: the command's own message, and the reason the
// operation gave as the informative text. Opens once the current callback has returned, over
// parent (or on its own: the status menu).
void showServiceFailure(QWidget* parent, ServiceCommand command, const QString& reason);
QString serviceFailureText(ServiceCommand command);

// Where to save a file: the hook, given the suggested path, answers instead of a save dialog.
// Empty when cancelled.
using SaveFileHook = std::function<QString(const QString& suggestedPath)>;
void setSaveFileHook(SaveFileHook hook);
QString askSaveFileName(QWidget* parent, const QString& title, const QString& suggestedPath);
} // namespace Dialogs
