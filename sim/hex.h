// Register values and words in findings read as the manual writes them: 0x-prefixed hex.
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

}  // namespace sim
