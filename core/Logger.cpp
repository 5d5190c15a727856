#include "core/Logger.h"
