#include "Tavrel_Agent/MainWindowController.h"

MainWindowController::MainWindowController() = default;
