#include "Tavrel_Agent/StatusBarController.h"

StatusBarController::StatusBarController(std::function<void()>, QObject* parent)
    : QObject(parent)
{
}
