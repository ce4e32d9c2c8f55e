// The plasma and the cake for any frame counter, over any previous frame. Input: effect (1
// byte), frame counter (4), then the previous frame's contents (repeated over dispram).
#include "display/lcd.h"
#include "effects/effects.h"
#include "firmware_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::Input in(data, size);
  const bool cake = in.take<std::uint8_t>() % 2 == 1;
  const auto n = in.take<std::int32_t>();
  fuzz::FirmwareRun run({}, 0, cake ? kPalettePicture : kPaletteRainbow);
  fuzz::fill_frame(in.rest());
  run.frame(cake ? effectCake : effectPlasma, n);
  return 0;
}
