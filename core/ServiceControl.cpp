#include "core/ServiceControl.h"
