// The three audio effects on the board model: any frame counter, any previous frame (they move
// it), any zero level and any converter codes. Input: effect (1 byte), frame counter (4), zero
// level (2), the length of the frame's contents (2), those contents (repeated over dispram),
// then the codes, two bytes each.
#include "display/lcd.h"
#include "effects/effects.h"
#include "firmware_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static constexpr void (*kEffects[])(int) = {effectFall, effectRoundWave, effectFftAndWave};
  fuzz::Input in(data, size);
  const auto effect = in.take<std::uint8_t>() % std::size(kEffects);
  const auto n = in.take<std::int32_t>();
  const auto zero = in.take<std::uint16_t>();
  const auto frame = in.bytes(in.take<std::uint16_t>());
  fuzz::FirmwareRun run(fuzz::codes(in), zero, kPaletteRainbow);
  fuzz::fill_frame(frame);
  run.frame(kEffects[effect], n);
  return 0;
}
