#include "board/io.h"
#include "display/lcd.h"
#include "effects/effects.h"
#include "startup/sequence.h"

namespace {

constexpr int kDemoFrames = 50;

// The showcase's effects, in the catalogue's order.
enum ShowcaseEffect : int { kShowPlasma, kShowCake, kShowFall, kShowRoundWave, kShowFftAndWave };
static_assert(kShowFftAndWave + 1 == kShowcaseEffects);
static_assert(kEffectCatalogue[kShowPlasma].render == effectPlasma &&
              kEffectCatalogue[kShowCake].render == effectCake &&
              kEffectCatalogue[kShowFall].render == effectFall &&
              kEffectCatalogue[kShowRoundWave].render == effectRoundWave &&
              kEffectCatalogue[kShowFftAndWave].render == effectFftAndWave);
// The palette choice below is a test rather than a table lookup, which costs fewer bytes; it
// holds while the cake is the one effect that wants another palette than the rainbow.
constexpr bool only_the_cake_differs() {
  for (int e = 0; e < kShowcaseEffects; ++e) {
    const bool picture = kEffectCatalogue[e].palette == kPalettePicture;
    if (picture != (e == kShowCake) || (!picture && kEffectCatalogue[e].palette != kPaletteRainbow))
      return false;
  }
  return true;
}
static_assert(only_the_cake_differs());

// Order fixed by what each step assumes: io_init's dividers need the clock processor_init
// sets, lcd_init needs the serial port and the reset pulse of io_init.
void bring_up() {
  processor_init();
  io_init();
  lcd_init();
  calibratead();
}

}  // namespace

void demo_sequence() {
  bring_up();
  initpal(kPaletteRainbow);
  for (int n = 0; n < kDemoFrames; ++n) effectPlasma(n);
}

void showcase_frame(int k) {
  int pos = k % kShowcaseFrames;
  if (pos < 0) pos += kShowcaseFrames;  // a negative k still picks a frame of the cycle
  const int effect = pos / kShowcaseFramesPerEffect;
  const int n = pos % kShowcaseFramesPerEffect;
  if (n == 0) initpal(effect == kShowCake ? kPalettePicture : kPaletteRainbow);
  // A switch rather than a table of pointers keeps every call direct, so the image's stack
  // report can follow it.
  switch (effect) {
    case kShowPlasma:
      effectPlasma(n);
      break;
    case kShowCake:
      effectCake(n);
      break;
    case kShowFall:
      effectFall(n);
      break;
    case kShowRoundWave:
      effectRoundWave(n);
      break;
    default:
      effectFftAndWave(n);
      break;
  }
}

#if defined(LPCDEMO_TARGET)

int main() {
#if defined(LPCDEMO_SHOWCASE)
  bring_up();
  // k wraps with the cycle, so the loop never overflows and repeats the same frames.
  for (int k = 0;; k = (k + 1) % kShowcaseFrames) showcase_frame(k);
#else
  demo_sequence();
  // One instruction branching to itself: the halt the emulator recognises, and what the board
  // sits in, the last frame on screen, until the next reset.
  asm volatile("b .");
  __builtin_unreachable();
#endif
}

// Exception stubs. IRQ and FIQ stay masked for the whole run, so only a fault or an SWI can
// enter one. `movs` returns to the link register and restores the interrupted mode from SPSR,
// so the program does not carry on in the exception mode with its 4-byte stack.
extern "C" {
[[gnu::naked]] void UNDEF_Routine() {
  asm("movs pc, lr");
}
[[gnu::naked]] void SWI_Routine() {
  asm("movs pc, lr");
}
[[gnu::naked]] void IRQ_Routine() {
  asm("movs pc, lr");
}
[[gnu::naked]] void FIQ_Routine() {
  asm("movs pc, lr");
}
}

#endif
