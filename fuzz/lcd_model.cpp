// The LCD controller model fed any stream: two bytes a step, a 9-bit word on the link, or with
// the top bit set, the reset (bit 0) and chip select (bit 1) lines. Findings are expected; a
// crash or a sanitizer report is not, nor a frame that leaves the 12-bit colour range.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "sim/lcd_model.h"

namespace {

void check_colours(const sim::LcdFrame& frame) {
  constexpr std::uint16_t kMaxColour = 0xFFF;
  for (std::uint16_t colour : frame) {
    if (colour > kMaxColour) {
      std::fprintf(stderr, "fuzz: colour 0x%x in a frame\n", colour);
      std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::uint16_t kLines = 0x8000, kResetLow = 1, kSelectLow = 2, kWord = 0x1FF;
  sim::LcdModel lcd;
  lcd.set_reset(false);
  lcd.set_select(true);
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    const auto step = static_cast<std::uint16_t>(data[i] | data[i + 1] << 8);
    if (step & kLines) {
      lcd.set_reset(step & kResetLow);
      lcd.set_select(step & kSelectLow);
    } else {
      lcd.receive(step & kWord);
    }
  }
  for (const sim::LcdFrame& frame : lcd.frames()) check_colours(frame);
  check_colours(lcd.panel());
  return 0;
}
