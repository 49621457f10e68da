#include "app/session_state.h"
