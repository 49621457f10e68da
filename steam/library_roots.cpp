#include "steam/library_roots.h"
