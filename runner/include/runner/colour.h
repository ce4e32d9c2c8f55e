// The LCD's 12-bit colours at 8 bits per channel, as every picture of a frame shows them.
#pragma once

#include <cstdint>

namespace runner {

// A 4-bit channel spread over 8 bits so that 0xF becomes 0xFF.
constexpr std::uint8_t expand4(unsigned level) {
  return static_cast<std::uint8_t>(level * 0x11);
}
static_assert(expand4(0xF) == 0xFF && expand4(0x8) == 0x88);

struct Rgb {
  std::uint8_t r, g, b;
};

// A 12-bit colour 0xRGB at 8 bits per channel.
constexpr Rgb rgb(unsigned c) {
  return {expand4((c >> 8) & 0xF), expand4((c >> 4) & 0xF), expand4(c & 0xF)};
}
static_assert(rgb(0xF80).r == 0xFF && rgb(0xF80).g == 0x88 && rgb(0xF80).b == 0);

}  // namespace runner
