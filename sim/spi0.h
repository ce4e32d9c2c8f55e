// SPI0: transfer timing, SPIF and WCOL, and the word shifted out to the attached device.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "clock.h"
#include "registers.h"
#include "sim/spi_device.h"

namespace sim {

class PinConnect;

class Spi0 : public Peripheral, private SpiComplaints {
 public:
  enum : std::size_t { kSpcr, kSpsr, kSpdr, kSpccr };
  static const Register kRegisters[kSpccr + 1];

  Spi0(Findings& findings, Clock& clock, const PinConnect& pins);
  // The device on SCK0 and MOSI0, which gets every word its format lets through.
  void attach(SpiDevice& device) { device_ = &device; }

  // Completes a transfer whose time has come; inline, as every access begins with it.
  void catch_up() {
    if (busy_ && clock_.pclk >= done_at_) finish_transfer();
  }
  std::optional<std::uint64_t> done_at() const {
    if (!clock_.clocked || !busy_) return std::nullopt;
    return clock_.cclk_when(done_at_);
  }

 private:
  void reset_state() override;
  void refuse(const char* key, const std::string& why) override;

  unsigned bits();
  bool routed() const;  // P0.4 and P0.6 are SCK0 and MOSI0
  // Whether the attached device can take a word in the current format.
  bool device_takes(unsigned bits);
  void touch_data();
  void finish_transfer();

  std::uint32_t read_status(const Register& r, std::uint32_t stored);
  std::uint32_t read_data(const Register& r, std::uint32_t stored);
  std::uint32_t write_data(const Register& r, std::uint32_t v);
  std::uint32_t check_divider(const Register& r, std::uint32_t v);

  Clock& clock_;
  const PinConnect& pins_;
  SpiDevice* device_ = nullptr;
  bool busy_ = false, spif_seen_ = false, to_device_ = false;
  std::uint64_t done_at_ = 0;  // peripheral clocks
  std::uint16_t word_ = 0;
};

}  // namespace sim
