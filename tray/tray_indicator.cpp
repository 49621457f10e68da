#include "tray/tray_indicator.h"
