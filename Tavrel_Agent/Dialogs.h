#pragma once

#include <QAbstractButton>
#include <QMessageBox>

#include <QFont>
#include <QSize>

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
// A message made of before, a reason (pkexec's, the helper's, systemctl's) and after, the flow's own
// words: where the whole does not fit, the reason is cut after a word and marked "…", so that what
// the flow tells the user to do stays in view.
using Fits = std::function<bool(const QString&)>;
QString fitReason(const QString& before, const QString& reason, const QString& after, const Fits& fits);
// Whether a text wrapped at word boundaries in this font fits into the box.
Fits fitsInto(const QFont& font, QSize box);
} // namespace Dialogs
