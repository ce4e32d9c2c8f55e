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
// Where the manual is silent, MamReading names the choice taken and its alternative, so that the
// difference can be measured (the bench shows it as a band).
#pragma once

#include <algorithm>
#include <cstdint>

#include "hw/lpc2138.h"

namespace emu {

namespace chip = lpc2138;

// Each false is the reading taken; true its alternative, never faster.
struct MamReading {
  // A miss waits for a prefetch in flight to finish before its own read (taken: drops it).
  bool miss_waits_for_prefetch = false;
  // A data read loses a prefetched line waiting in the flash's latch (taken: it stays).
  bool data_read_loses_prefetch = false;
  // A line a buffer holds starts the next line's prefetch only once a prefetch in flight
  // has finished (taken: at once, dropping it).
  bool hit_waits_for_prefetch = false;
  bool operator==(const MamReading&) const = default;
};

class Mam {
 public:
  static constexpr unsigned kLineShift = 4;  // 16-byte lines

  explicit Mam(MamReading r = {}) : reading_(r) {}

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

  MamReading reading_;
  std::uint8_t mode_ = chip::MAMCR_OFF;
  unsigned clocks_ = chip::MAMTIM_MAX;  // the reset timing
  std::uint32_t buffer_ = kNoLine;      // prefetch buffer
  std::uint32_t trail_ = kNoLine;       // branch trail buffer
  std::uint32_t data_ = kNoLine;
  std::uint32_t prefetch_ = kNoLine;  // the line the flash prefetches, and when it has it
  std::uint64_t delivers_ = 0;
};

// Inline: the emulator asks on every line the core's fetches reach.
inline unsigned Mam::fetch(std::uint32_t addr, bool sequential, std::uint64_t now) {
  if (off()) return wait();
  const std::uint32_t line = addr >> kLineShift;
  const bool full = mode_ == chip::MAMCR_FULL;
  if (!full && !sequential) {  // partial: a change of flow always reads
    buffer_ = line;
    prefetch(line + 1, now + clocks_);
    return wait();
  }
  // A line a buffer holds is used as it is, whatever the flash is fetching ("not satisfied
  // by either the prefetch or branch trail buffer, nor ... a prefetch" is what stalls).
  const bool in_flight = prefetch_ != kNoLine && delivers_ > now;
  if (full && (line == buffer_ || line == trail_)) {
    const bool wait = reading_.hit_waits_for_prefetch && in_flight;
    if (prefetch_ != line + 1) prefetch(line + 1, wait ? delivers_ : now);
    return 0;
  }
  if (line == prefetch_) {
    // The read still in flight keeps the core until it delivers; the flash then goes on.
    const std::uint64_t stall = delivers_ > now + 1 ? delivers_ - now - 1 : 0;
    buffer_ = line;
    prefetch(line + 1, std::max(delivers_, now));
    return static_cast<unsigned>(stall);
  }
  const std::uint64_t start = reading_.miss_waits_for_prefetch && in_flight ? delivers_ : now;
  (full ? trail_ : buffer_) = line;
  prefetch(line + 1, start + clocks_);
  return static_cast<unsigned>(start - now) + wait();
}

}  // namespace emu
