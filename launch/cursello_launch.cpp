#include "launch/cursello_launch.h"
