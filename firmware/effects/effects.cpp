#include "effects/effects.h"

#include "display/lcd.h"

// Each renderer draws one frame into dispram and sends it with senddisp.

void effectPlasma(int) {}

void effectCake(int) {}

void effectFall(int) {}

void effectRoundWave(int) {}

void effectFftAndWave(int) {}
