#include "emu/mam.h"

namespace emu {

void Mam::configure(std::uint8_t mamcr, std::uint8_t mamtim) {
  mode_ = mamcr;
  // 0 is reserved: taken as the three bits wrapping round to 8 clocks, slower than any
  // defined timing, so a firmware that writes it is not flattered.
  constexpr unsigned kReservedClocks = chip::MAMTIM_MAX + 1;
  const unsigned clocks = mamtim == 0 ? kReservedClocks : mamtim;
  wait_ = clocks - 1;
  prefetch_ = trail_ = data_ = kNoLine;  // changing the mode flushes the buffers
}

unsigned Mam::fetch(std::uint32_t addr, std::uint32_t end, bool sequential) {
  const std::uint32_t first = addr >> kLineShift;
  const std::uint32_t last = (end - 1) >> kLineShift;
  const unsigned lines = last - first + 1;
  switch (mode_) {
    case chip::MAMCR_OFF: {
      const unsigned words = (end - addr) / 4;
      return words * wait_;
    }
    case chip::MAMCR_PARTIAL:
      return sequential ? 0 : wait_;
    default:
      break;
  }
  unsigned stall = 0;
  const bool held = first == prefetch_ || first == trail_;
  const bool prefetched = sequential && first == prefetch_ + 1;
  if (!held && !prefetched) {
    stall = wait_;
    trail_ = first;
  }
  // Lines after the first arrive through the prefetch while the one before executes.
  if (lines > 1 || prefetched) prefetch_ = last;
  return stall;
}

unsigned Mam::read(std::uint32_t addr) {
  if (mode_ != chip::MAMCR_FULL) return wait_;
  const std::uint32_t line = addr >> kLineShift;
  if (line == data_) return 0;
  data_ = line;
  return wait_;
}

}  // namespace emu
