#include "x11/window_scanner.h"
