#include "Tavrel_Agent/SetupWindowController.h"

SetupWindowController::SetupWindowController(QWidget* parent)
    : QDialog(parent)
{
}
