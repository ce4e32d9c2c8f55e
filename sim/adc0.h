// ADC0 converting the audio source on AD0.1: START, DONE, RESULT and their misuse.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>

#include "clock.h"
#include "registers.h"
#include "sim/audio.h"

namespace sim {

class Adc0 : public Peripheral {
 public:
  enum : std::size_t { kCr, kGdr };
  static const Register kRegisters[kGdr + 1];

  Adc0(Findings& findings, Clock& clock, std::unique_ptr<AudioSource> audio);

  // Completes a conversion whose time has come; inline, as every access begins with it.
  void catch_up() {
    if (busy_ && clock_.pclk >= done_at_) finish_conversion();
  }
  std::optional<std::uint64_t> done_at() const {
    if (!clock_.clocked || !busy_) return std::nullopt;
    return clock_.cclk_when(done_at_);
  }
  std::uint64_t conversions() const { return conversions_; }

 private:
  void reset_state() override;
  void start_conversion();
  void finish_conversion();
  // A read with nothing running: the one result read after DONE is fine, anything else is not.
  void idle_read(std::uint32_t value);

  std::uint32_t check_control(const Register& r, std::uint32_t v);
  void control_written(const Register& r, std::uint32_t v);
  std::uint32_t read_data(const Register& r, std::uint32_t stored);

  Clock& clock_;
  std::unique_ptr<AudioSource> audio_;
  bool busy_ = false, done_ = false, result_seen_ = true, ever_converted_ = false;
  unsigned idle_reads_ = 0;
  std::uint64_t done_at_ = 0;  // peripheral clocks
  std::uint32_t pending_ = 0, result_ = 0, channel_ = 0, pending_channel_ = 0;
  std::uint64_t conversions_ = 0;
};

}  // namespace sim
