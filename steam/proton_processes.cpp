#include "steam/proton_processes.h"
