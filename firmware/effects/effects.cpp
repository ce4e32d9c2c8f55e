#include "effects/effects.h"
