#include "Tavrel_Agent/Dialogs.h"

namespace {
Dialogs::Hook& hook() {
    static Dialogs::Hook installed;
    return installed;
}
} // namespace

void Dialogs::setHook(Hook newHook) {
    hook() = std::move(newHook);
}

QAbstractButton* Dialogs::run(QMessageBox& box) {
    if (hook())
        hook()(box);
    else
        box.exec();
    return box.clickedButton();
}
