#include "effects/rotoblitter.h"
