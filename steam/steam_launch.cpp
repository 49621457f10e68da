#include "steam/steam_launch.h"
