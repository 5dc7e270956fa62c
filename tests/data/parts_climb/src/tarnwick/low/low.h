// Climbs in a header that no file of its own part compiles.
#include "tarnwick/top/top.h"
