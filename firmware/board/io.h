// Board input/output: clock and pin bring-up, busy-wait delays, the LCD serial link and the
// audio converter with its zero level.
#pragma once

#include <cstdint>

#include "hw/lpc2138.h"

extern "C" {

void processor_init();
void io_init();
void waitsome();  // 153 passes of a counted loop
void waitabit();  // 53 passes

// Sends one 9-bit LCD word: bits 7-0 the byte, bit 8 set for a command.
void sendlcd(int d);

// Audio zero level, a converter code 0..1023; 0 until the first calibration.
extern std::uint16_t avg;

// One conversion of AD0.1 as a sample: code - avg, wrapped to 16 bits.
std::int16_t getad();
void calibratead();
}

// The halves of sendlcd, shared with the frame transfer so that its 9849 data words per frame
// are sent without a call each and their packing can overlap the shifting.
namespace lcdlink {

inline constexpr int kCommand = 0x100;  // bit 8 of an LCD word
inline constexpr int kByteMask = 0xFF;

// The wire's first bit is the inverse of bit 8: 0 for a command, 1 for data.
inline void start(int d) {
  hw::write(lpc2138::S0SPDR, static_cast<std::uint16_t>(d ^ kCommand));
}

// SPIF clears by itself on the next S0SPDR access, the next word's start.
inline void wait_done() {
  while ((hw::read(lpc2138::S0SPSR) & lpc2138::S0SPSR_SPIF) == 0) {
  }
}

}  // namespace lcdlink
