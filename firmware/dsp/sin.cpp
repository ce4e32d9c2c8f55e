#include "dsp/sin.h"
