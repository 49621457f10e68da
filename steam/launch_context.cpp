#include "steam/launch_context.h"
