// A recording bus whose converter plays a script of codes: each write of AD0CR starts the next
// conversion, and AD0GDR reports that conversion's code with DONE set. Every other register
// reads with all bits set, so SPI transfers are always finished.
#pragma once

#include <cstdint>
#include <vector>

#include "hw/lpc2138.h"
#include "support/recording_bus.h"

namespace test {

class ScriptedAdc : public RecordingBus {
 public:
  std::vector<int> codes;  // one 10-bit code per conversion, in order
  int after = 512;         // code of every conversion past the end of the script
  int conversions = 0;     // AD0CR writes so far

  ScriptedAdc() {
    on_read = [this](std::uint32_t addr, unsigned) -> std::uint32_t {
      if (addr == lpc2138::AD0GDR.addr) {
        return lpc2138::AD0GDR_DONE | static_cast<std::uint32_t>(code(conversions - 1)) << 6;
      }
      if (addr == lpc2138::AD0CR.addr) return 0;
      return 0xFFFFFFFF;
    };
  }

  void write(std::uint32_t addr, unsigned width, std::uint32_t value) override {
    if (addr == lpc2138::AD0CR.addr) ++conversions;
    RecordingBus::write(addr, width, value);
  }

  int code(int k) const { return k >= 0 && k < static_cast<int>(codes.size()) ? codes[k] : after; }

  // Appends `count` conversions of the code for `sample` around the zero level `zero`.
  void add(int zero, int sample, int count = 1) { codes.insert(codes.end(), count, zero + sample); }
};

}  // namespace test
