#include "support/recording_bus.h"

#include <iomanip>

namespace test {

std::ostream& operator<<(std::ostream& os, const Access& a) {
  if (a.kind == Access::Delay) return os << "delay(" << a.value << ")";
  return os << (a.kind == Access::Read ? "R" : "W") << a.width << "[0x" << std::hex << std::setw(8)
            << std::setfill('0') << a.addr << "]=0x" << a.value << std::dec;
}

void RecordingBus::queue_reads(std::uint32_t addr, std::vector<std::uint32_t> values) {
  auto& q = queued_[addr];
  q.insert(q.end(), values.begin(), values.end());
}

void RecordingBus::set_fallback(std::uint32_t addr, std::uint32_t value) {
  fallback_[addr] = value;
}

std::uint32_t RecordingBus::read(std::uint32_t addr, unsigned width) {
  std::uint32_t v = 0xFFFFFFFF;
  if (on_read) {
    v = on_read(addr, width);
  } else if (auto q = queued_.find(addr); q != queued_.end() && !q->second.empty()) {
    v = q->second.front();
    q->second.pop_front();
  } else if (auto f = fallback_.find(addr); f != fallback_.end()) {
    v = f->second;
  }
  if (width < 32) v &= (1u << width) - 1;
  log.push_back({Access::Read, addr, width, v});
  return v;
}

void RecordingBus::write(std::uint32_t addr, unsigned width, std::uint32_t value) {
  log.push_back({Access::Write, addr, width, value});
}

void RecordingBus::delay_pass() {
  if (!log.empty() && log.back().kind == Access::Delay) {
    ++log.back().value;
  } else {
    log.push_back(Delay(1));
  }
}

std::vector<Access> RecordingBus::writes() const {
  std::vector<Access> w;
  for (const auto& a : log) {
    if (a.kind == Access::Write) w.push_back(a);
  }
  return w;
}

}  // namespace test
