#include "dsp/waveops.h"
