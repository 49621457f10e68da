#include "app/logger.h"
