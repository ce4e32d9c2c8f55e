// A bus that records every register access in order, answering reads from a script or with
// fixed values, and counts busy-wait passes between accesses.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <ostream>
#include <vector>

#include "hw/reg.h"

namespace test {

struct Access {
  enum Kind { Read, Write, Delay } kind;
  std::uint32_t addr = 0;   // register, or 0 for Delay
  unsigned width = 0;       // 8, 16, 32; 0 for Delay
  std::uint32_t value = 0;  // value read or written; pass count for Delay

  bool operator==(const Access&) const = default;
};

// The width comes from the register's declaration, as it does for the firmware's own access.
template <typename T>
Access W(hw::Reg<T> r, std::uint32_t v) {
  return {Access::Write, r.addr, hw::Reg<T>::width, v};
}
template <typename T>
Access R(hw::Reg<T> r, std::uint32_t v) {
  return {Access::Read, r.addr, hw::Reg<T>::width, v};
}
inline Access Delay(std::uint32_t passes) {
  return {Access::Delay, 0, 0, passes};
}

std::ostream& operator<<(std::ostream& os, const Access& a);

class RecordingBus : public hw::Bus {
 public:
  // Reads of addr return the queued values in order, then `fallback` (default 0xFFFFFFFF,
  // which reads every status bit as set).
  void queue_reads(std::uint32_t addr, std::vector<std::uint32_t> values);
  void set_fallback(std::uint32_t addr, std::uint32_t value);
  // Computes read values instead (takes precedence over the queue when set).
  std::function<std::uint32_t(std::uint32_t addr, unsigned width)> on_read;

  std::uint32_t read(std::uint32_t addr, unsigned width) override;
  void write(std::uint32_t addr, unsigned width, std::uint32_t value) override;
  void delay_pass() override;

  // Accesses in order; consecutive delay passes are merged into one Delay entry.
  std::vector<Access> log;
  std::vector<Access> writes() const;  // the log without reads and delays

 private:
  std::map<std::uint32_t, std::deque<std::uint32_t>> queued_;
  std::map<std::uint32_t, std::uint32_t> fallback_;
};

// Installs a bus for the lifetime of a scope and removes it afterwards.
class ScopedBus {
 public:
  explicit ScopedBus(hw::Bus& b) { hw::set_bus(&b); }
  ~ScopedBus() { hw::set_bus(nullptr); }
  ScopedBus(const ScopedBus&) = delete;
  ScopedBus& operator=(const ScopedBus&) = delete;
};

}  // namespace test
