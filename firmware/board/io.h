// Board input/output: clock and pin bring-up, busy-wait delays, the LCD serial link and the
// audio converter with its zero level.
#pragma once

#include <cstdint>

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
