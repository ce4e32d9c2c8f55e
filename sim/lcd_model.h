// The LCD module's controller as the firmware drives it: 9-bit words on the serial link, the
// start-up commands, and pixel data after the memory-write command 0x2C.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

inline constexpr int kLcdWidth = 98;
inline constexpr int kLcdHeight = 67;
inline constexpr int kLcdPixels = kLcdWidth * kLcdHeight;

// 12-bit colours 0xRGB in row order; all black while the panel is asleep or off.
using LcdFrame = std::array<std::uint16_t, kLcdPixels>;

class LcdModel {
 public:
  // Reset line (P0.8, active low) and chip select (P0.7, active low) as driven by the GPIO.
  void set_reset(bool low);
  void set_select(bool low);
  // One word as it leaves SPI0: bit 8 clear for a command, set for data.
  void receive(std::uint16_t wire);

  // Every word received while selected, as the firmware passed it to sendlcd (bit 8 set for a
  // command), for the word log.
  const std::vector<std::uint16_t>& words() const;
  const std::vector<LcdFrame>& frames() const;  // complete frames, in order
  const std::vector<std::string>& findings() const;

  bool sleeping() const;
  bool display_on() const;

 private:
  // (implementation state)
};

}  // namespace sim
