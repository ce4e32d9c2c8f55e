#include "dsp/fix_fft.h"
