#include "emu/mam.h"

#include <algorithm>

namespace emu {

void Mam::configure(std::uint8_t mamcr, std::uint8_t mamtim) {
  mode_ = mamcr;
  // 0 is reserved: taken as the three bits wrapping round to 8 clocks, slower than any
  // defined timing, so a firmware that writes it is not flattered.
  constexpr unsigned kReservedClocks = chip::MAMTIM_MAX + 1;
  clocks_ = mamtim == 0 ? kReservedClocks : mamtim;
  buffer_ = trail_ = data_ = prefetch_ = kNoLine;
}

unsigned Mam::fetch(std::uint32_t addr, bool sequential, std::uint64_t now) {
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
  if (full && (line == buffer_ || line == trail_)) {
    if (prefetch_ != line + 1) prefetch(line + 1, now);
    return 0;
  }
  if (line == prefetch_) {
    // The read still in flight keeps the core until it delivers; the flash then goes on.
    const std::uint64_t stall = delivers_ > now + 1 ? delivers_ - now - 1 : 0;
    buffer_ = line;
    prefetch(line + 1, std::max(delivers_, now));
    return static_cast<unsigned>(stall);
  }
  (full ? trail_ : buffer_) = line;
  prefetch(line + 1, now + clocks_);
  return wait();
}

unsigned Mam::read(std::uint32_t addr, std::uint64_t now) {
  const std::uint32_t line = addr >> kLineShift;
  if (mode_ == chip::MAMCR_FULL) {
    if (line == data_) return 0;
    data_ = line;
  }
  if (prefetch_ != kNoLine && delivers_ > now) prefetch(prefetch_, now + clocks_);
  return wait();
}

void Mam::delay(std::uint64_t clocks) {
  if (prefetch_ != kNoLine) delivers_ += clocks;
}

}  // namespace emu
