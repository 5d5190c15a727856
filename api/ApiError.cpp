#include "api/ApiError.h"
