#include "../top/top.h"
#include "low.h"
