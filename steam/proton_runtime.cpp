#include "steam/proton_runtime.h"
