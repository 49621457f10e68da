#include "app/proton_monitor.h"
