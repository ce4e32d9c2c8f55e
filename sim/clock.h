// The board's time: processor clocks and the peripheral clocks they make, and the times wire
// sinks are told. System control sets the rates; the other peripherals count in them.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

#include "sim/board.h"

namespace sim {

constexpr double kNsPerSecond = 1e9;

class Clock {
 public:
  bool clocked = false;
  double crystal_hz = Board::kCrystalHz;  // the board's crystal (Board::set_crystal_hz)
  std::uint64_t cclk = 0, pclk = 0;
  std::vector<WireSink*> wire_sinks;

  double cclk_hz() const { return cclk_hz_; }
  unsigned pclk_divider() const { return 1u << pclk_shift_; }
  double pclk_hz() const { return cclk_hz_ / pclk_divider(); }
  void set_cclk_hz(double hz) { cclk_hz_ = hz; }
  void set_pclk_divider(unsigned divider) {
    pclk_shift_ = static_cast<unsigned>(std::countr_zero(divider));
  }

  void advance(std::uint64_t cycles) {
    cclk += cycles;
    pclk_rest_ += cycles;
    // The divider is a power of two: a shift and a mask where a division would cost more than
    // the rest of a typical call.
    pclk += pclk_rest_ >> pclk_shift_;
    pclk_rest_ &= (std::uint64_t{1} << pclk_shift_) - 1;
  }
  // The processor clock count at which the peripheral clock count reaches pclk_at.
  std::uint64_t cclk_when(std::uint64_t pclk_at) const {
    if (pclk_at <= pclk) return cclk;
    // advance()'s rounding: pclk_rest processor clocks already count towards the next one.
    const std::uint64_t cycles = (pclk_at - pclk) * pclk_divider();
    return cclk + (cycles > pclk_rest_ ? cycles - pclk_rest_ : 0);
  }

  // Without a clock, time moves on by a nominal processor clock per access.
  void count_access() { nominal_ns_ += kNsPerSecond / cclk_hz_; }

  double wire_ns() const {
    if (!clocked) return nominal_ns_;
    return rate_since_ns_ + static_cast<double>(cclk - rate_since_cclk_) * kNsPerSecond / cclk_hz_;
  }
  // The time at which the peripheral clock count reached pclk_at, no later than now, counted
  // back at the present rate.
  double wire_ns_at(std::uint64_t pclk_at) const {
    if (!clocked || pclk_at > pclk) return wire_ns();
    const std::uint64_t cycles = (pclk - pclk_at) * pclk_divider() + pclk_rest_;
    return wire_ns() - static_cast<double>(cycles) * kNsPerSecond / cclk_hz_;
  }
  // The processor clock may change rate now: time so far counts at the old one.
  void mark_rate_change() {
    rate_since_ns_ = wire_ns();
    rate_since_cclk_ = cclk;
  }
  // The time of an event that occupies the wire for `length_ns`, by which a board without a
  // clock moves its nominal time on.
  double wire_event(double length_ns) {
    const double ns = wire_ns();
    if (!clocked) nominal_ns_ += length_ns;
    return ns;
  }
  // Whether an event's time matters: for a wire sink, or to move a board without a clock on.
  // Working it out costs divisions the emulator would otherwise pay on every word.
  bool times_wire_events() const { return !clocked || !wire_sinks.empty(); }

 private:
  double cclk_hz_ = Board::kCrystalHz;
  unsigned pclk_shift_ = 2;
  std::uint64_t pclk_rest_ = 0;
  double rate_since_ns_ = 0;
  std::uint64_t rate_since_cclk_ = 0;
  double nominal_ns_ = 0;
};

}  // namespace sim
