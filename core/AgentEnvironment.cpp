#include "core/AgentEnvironment.h"
