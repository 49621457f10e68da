#include "proc/process_snapshot.h"
