// Wait states of the LPC2138's memory accelerator (MAM) for fetches and data reads from flash.
//
// Flash is read 128 bits (one line of four ARM instructions) at a time; a flash access takes
// MAMTIM processor clocks, of which the core's own cycle already counts one, so a miss stalls
// MAMTIM - 1 clocks. Modes: off, every access goes to flash; partial, sequential instruction
// fetches hit the line already read, branches and data reads go to flash; full, a prefetch
// buffer, a branch-trail buffer and a data buffer each hold one line, and the next line is
// prefetched while the current one executes.
//
// Left out, each worth a few per cent at most: a prefetch still in flight when straight-line
// code reaches the next line (taken as complete; only matters for lines that execute in fewer
// than MAMTIM clocks), a prefetch cut short by a data read from flash, and the fetch of a
// conditional branch's not-taken line.
#pragma once

#include <cstdint>

#include "hw/lpc2138.h"

namespace emu {

namespace chip = lpc2138;

class Mam {
 public:
  static constexpr unsigned kLineShift = 4;  // 16-byte lines

  // mamcr: MAMCR_OFF, MAMCR_PARTIAL or MAMCR_FULL; mamtim: flash access clocks.
  void configure(std::uint8_t mamcr, std::uint8_t mamtim);

  // A run of code from `addr` to `end` (exclusive) in flash, entered sequentially from the
  // previous run (fell through) or by a change of flow. Returns the stall in clocks.
  unsigned fetch(std::uint32_t addr, std::uint32_t end, bool sequential);
  // A data read from flash.
  unsigned read(std::uint32_t addr);

  unsigned wait() const { return wait_; }

 private:
  static constexpr std::uint32_t kNoLine = 0xFFFFFFFF;

  std::uint8_t mode_ = chip::MAMCR_OFF;
  unsigned wait_ = chip::MAMTIM_MAX - 1;  // the reset timing
  std::uint32_t prefetch_ = kNoLine;      // line of the last sequential fetch
  std::uint32_t trail_ = kNoLine;         // line of the last branch that missed
  std::uint32_t data_ = kNoLine;
};

}  // namespace emu
