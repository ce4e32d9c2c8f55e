#include <cstddef>
#include <cstdint>
#include <utility>

#include "board/io.h"
#include "display/lcd.h"
#include "effects/effects.h"
#include "startup/sequence.h"

namespace {

constexpr int kDemoFrames = 50;

// The showcase is the catalogue expanded at compile time into tests and direct calls, where a
// table lookup and a call through the renderer pointer would cost more bytes and hide the
// calls from the image's stack report.

// Frame n of catalogue entry `effect`; any value past the last entry picks the last.
template <std::size_t... I>
void render(int effect, int n, std::index_sequence<I...>) {
  constexpr int last = kShowcaseEffects - 1;
  static_cast<void>(((static_cast<int>(I) < last && effect == static_cast<int>(I)
                          ? (kEffectCatalogue[I].render(n), true)
                          : false) ||
                     ... || (kEffectCatalogue[last].render(n), true)));
}

// The palette of catalogue entry `effect`: the rainbow but for the entries that want another.
template <std::size_t... I>
std::uint8_t palette_of(int effect, std::index_sequence<I...>) {
  std::uint8_t palette = kPaletteRainbow;
  ((kEffectCatalogue[I].palette != kPaletteRainbow && effect == static_cast<int>(I)
        ? palette = kEffectCatalogue[I].palette
        : 0),
   ...);
  return palette;
}

constexpr auto kEveryEffect = std::make_index_sequence<kEffectCount>();
// The power-up effect, the catalogue's first.
constexpr const EffectInfo& kDemoEffect = kEffectCatalogue[0];

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
  initpal(kDemoEffect.palette);
  for (int n = 0; n < kDemoFrames; ++n) kDemoEffect.render(n);
}

void showcase_frame(int k) {
  int pos = k % kShowcaseFrames;
  if (pos < 0) pos += kShowcaseFrames;  // a negative k still picks a frame of the cycle
  const int effect = pos / kShowcaseFramesPerEffect;
  const int n = pos % kShowcaseFramesPerEffect;
  if (n == 0) initpal(palette_of(effect, kEveryEffect));
  render(effect, n, kEveryEffect);
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
