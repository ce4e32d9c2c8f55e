#include "board/io.h"
#include "display/lcd.h"
#include "effects/effects.h"
#include "startup/sequence.h"

void demo_sequence() {
  processor_init();
  io_init();
  lcd_init();
  calibratead();
  initpal(0);
  for (int n = 0; n < 50; ++n) effectPlasma(n);
}
