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

unsigned Mam::read(std::uint32_t addr, std::uint64_t now) {
  const std::uint32_t line = addr >> kLineShift;
  if (mode_ == chip::MAMCR_FULL) {
    if (line == data_) return 0;
    data_ = line;
  }
  if (prefetch_ != kNoLine && delivers_ > now) {
    prefetch(prefetch_, now + clocks_);  // aborted, and read again after
  } else if (reading_.data_read_loses_prefetch) {
    prefetch_ = kNoLine;
  }
  return wait();
}

void Mam::delay(std::uint64_t clocks) {
  if (prefetch_ != kNoLine) delivers_ += clocks;
}

}  // namespace emu
