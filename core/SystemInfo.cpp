#include "core/SystemInfo.h"
