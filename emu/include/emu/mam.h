// The LPC2138's memory accelerator (MAM) in front of its single flash bank, as UM10120's MAM
// chapter describes it: flash is read a 128-bit line (four ARM instructions) at a time, each
// read taking MAMTIM clocks; the core's own cycle counts one of them, so a read the core waits
// for from its own cycle stalls it MAMTIM - 1.
//
// Fully on, three one-line buffers: the prefetch buffer, the branch trail buffer and the data
// buffer; and the flash's own latch of the line it prefetches. A fetch moving to a line in
// neither instruction buffer nor being prefetched misses: the core waits for a read, the line
// goes to the branch trail buffer, and the next line is prefetched after it. A prefetched line
// enters the prefetch buffer only when the core presents its address (the core waits for the
// rest of the read if it is still in flight); any other line presented discards it, and the
// line after the one presented is prefetched instead. So a taken branch whose own fetch of
// pc+8 reaches the next line moves that line into the prefetch buffer, and its loop's line
// out. A data read outside the data buffer's line waits for a read and aborts a prefetch in
// flight, which starts again after it.
//
// Partially on: sequential fetches as above; every fetch after a change of flow, and every
// data read, takes a whole read ("mimics the timing of a flash read"). Off: every fetch and
// data read takes a whole read.
//
// Where the manual is silent, the readings taken here (and their alternatives):
// - a miss drops a prefetch in flight at once (or: waits for it to finish);
// - a prefetch complete in the flash's latch survives a data read (or: is read again);
// - a line presented again that a buffer holds starts the next line's prefetch at once (or:
//   only after a prefetch in flight has finished).
#pragma once

#include <cstdint>

#include "hw/lpc2138.h"

namespace emu {

namespace chip = lpc2138;

class Mam {
 public:
  static constexpr unsigned kLineShift = 4;  // 16-byte lines

  // mamcr: MAMCR_OFF, MAMCR_PARTIAL or MAMCR_FULL; mamtim: flash read clocks. Empties the
  // buffers, as changing the mode does on the chip.
  void configure(std::uint8_t mamcr, std::uint8_t mamtim);

  // The core's instruction fetch moves to the line of `addr` at clock `now`: the first fetch
  // after a change of flow (not `sequential`) or a sequential one into the next line. Returns
  // the clocks the core stalls. Off, the caller counts every fetch at wait() instead.
  unsigned fetch(std::uint32_t addr, bool sequential, std::uint64_t now);
  // A data read of flash at clock `now`; returns the stall.
  unsigned read(std::uint32_t addr, std::uint64_t now);
  // A prefetch in flight moved on by `clocks`, as when the same code ran that much longer.
  void delay(std::uint64_t clocks);

  bool off() const { return mode_ == chip::MAMCR_OFF; }
  unsigned wait() const { return clocks_ - 1; }

 private:
  static constexpr std::uint32_t kNoLine = 0xFFFFFFFF;

  void prefetch(std::uint32_t line, std::uint64_t from) {
    prefetch_ = line;
    delivers_ = from + clocks_;
  }

  std::uint8_t mode_ = chip::MAMCR_OFF;
  unsigned clocks_ = chip::MAMTIM_MAX;  // the reset timing
  std::uint32_t buffer_ = kNoLine;      // prefetch buffer
  std::uint32_t trail_ = kNoLine;       // branch trail buffer
  std::uint32_t data_ = kNoLine;
  std::uint32_t prefetch_ = kNoLine;  // the line the flash prefetches, and when it has it
  std::uint64_t delivers_ = 0;
};

}  // namespace emu
