#include "core/Shell.h"
