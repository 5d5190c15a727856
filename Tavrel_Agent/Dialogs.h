#pragma once

#include <QAbstractButton>
#include <QMessageBox>

#include <functional>

// Every modal alert goes through here, so tests can answer it without blocking.
namespace Dialogs {
// The hook sees the fully built box and answers it, e.g. by clicking one of its buttons.
using Hook = std::function<void(QMessageBox&)>;
void setHook(Hook hook);
// Runs the box modally (or through the hook) and returns the button that ended it, if any.
QAbstractButton* run(QMessageBox& box);
} // namespace Dialogs
