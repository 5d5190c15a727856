#include "core/AgentConfig.h"
