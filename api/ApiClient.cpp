#include "api/ApiClient.h"
