// Numbers in findings: register values and words as the manual writes them (0x-prefixed hex),
// frequencies in MHz without trailing zeros.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace sim {

inline std::string hex(std::uint32_t value, int digits = 2) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, static_cast<unsigned>(value));
  return text;
}

// Code addresses and memory words in the emulator's findings, as objdump and GDB print them.
inline std::string hex_word(std::uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(value));
  return text;
}

inline std::string mhz(double hz) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g MHz", hz / 1e6);
  return text;
}

}  // namespace sim
