// Reads the LCD link back out of a register log: the words sent and the chip-select pulses.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/lpc2138.h"
#include "support/recording_bus.h"

namespace test {

struct LcdTraffic {
  std::vector<int> words;         // as sendlcd's argument: bit 8 set for a command
  std::vector<int> pulse_before;  // index of the word that each chip-select pulse precedes
  bool waited_each = true;        // every word was followed by a poll that saw SPIF
};

// The wire carries the inverse of bit 8, so a data byte b appears in S0SPDR as 0x100 | b.
inline LcdTraffic lcd_traffic(const std::vector<Access>& log) {
  LcdTraffic t;
  bool cs_high = false;
  bool word_pending = false;
  for (const Access& a : log) {
    if (a.kind == Access::Write && a.addr == lpc2138::FIO0SET.addr &&
        a.value == lpc2138::P0_LCD_CS) {
      cs_high = true;
    } else if (a.kind == Access::Write && a.addr == lpc2138::FIO0CLR.addr &&
               a.value == lpc2138::P0_LCD_CS && cs_high) {
      t.pulse_before.push_back(static_cast<int>(t.words.size()));
      cs_high = false;
    } else if (a.kind == Access::Write && a.addr == lpc2138::S0SPDR.addr) {
      if (word_pending) t.waited_each = false;
      t.words.push_back(static_cast<int>(a.value ^ 0x100));
      word_pending = true;
    } else if (a.kind == Access::Read && a.addr == lpc2138::S0SPSR.addr &&
               (a.value & lpc2138::S0SPSR_SPIF) != 0) {
      word_pending = false;
    }
  }
  if (word_pending) t.waited_each = false;
  return t;
}

}  // namespace test
