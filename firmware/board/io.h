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

// The pieces of sendlcd, shared with the frame transfer so that its 9849 data words per frame
// are sent without a call each and their packing can overlap the shifting.
namespace lcdlink {

inline constexpr int kCommand = 0x100;  // bit 8 of an LCD word
inline constexpr int kByteMask = 0xFF;

// A short high pulse of the chip select gives the controller a fresh selection.
inline void pulse_select() {
  hw::write(lpc2138::FIO0SET, lpc2138::P0_LCD_CS);
  hw::write(lpc2138::FIO0CLR, lpc2138::P0_LCD_CS);
}

// The word as the port shifts it: the wire's first bit is the inverse of bit 8, 0 for a
// command and 1 for data.
constexpr std::uint16_t on_wire(int d) {
  return static_cast<std::uint16_t>(d ^ kCommand);
}
static_assert(on_wire(0x12C) == 0x02C && on_wire(0x08E) == 0x18E);

// Writing S0SPDR starts the transfer.
inline void put(std::uint16_t wire) {
  hw::write(lpc2138::S0SPDR, wire);
}

inline void start(int d) {
  put(on_wire(d));
}

// SPIF clears by itself on the next S0SPDR access, the next word's start.
inline void wait_done() {
  while ((hw::read(lpc2138::S0SPSR) & lpc2138::S0SPSR_SPIF) == 0) {
  }
}

}  // namespace lcdlink

// getad's steps, shared with the triggered sampling so that a sample costs no call (the
// spectrum takes over 500 a frame) and a capture can start each conversion as soon as the one
// before has been read, storing that sample while the next converts.
namespace adc {

inline void start() {
  hw::write(lpc2138::AD0CR, hw::read(lpc2138::AD0CR) | lpc2138::AD0CR_START_NOW);
}

// Waits for the running conversion and returns its 10-bit code.
inline std::uint32_t finish() {
  while ((hw::read(lpc2138::AD0GDR) & lpc2138::AD0GDR_DONE) == 0) {
  }
  return (hw::read(lpc2138::AD0GDR) >> lpc2138::AD0GDR_RESULT_SHIFT) & lpc2138::AD0GDR_RESULT_MASK;
}

// One conversion of AD0.1 as its 10-bit code.
inline std::uint32_t convert() {
  start();
  return finish();
}

// A code as a sample: code - zero, wrapped to 16 bits. Loops that store samples pass avg read
// once, as only a calibration changes it; read through each time, it would be reloaded after
// every 16-bit store, which the compiler must assume may alias it.
inline std::int16_t to_sample(std::uint32_t code, std::uint16_t zero) {
  return static_cast<std::int16_t>(code - zero);
}

inline std::int16_t sample(std::uint16_t zero = avg) {
  return to_sample(convert(), zero);
}

}  // namespace adc
