#include "tarnwick/low/low.h"
