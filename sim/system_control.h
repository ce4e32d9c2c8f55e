// System control: memory map, accelerator, PLL, VPB divider and SCS. It sets the rates the
// board's clock runs at, and hands port 0 to fast GPIO through SCS.
#pragma once

#include <cstdint>
#include <string>

#include "clock.h"
#include "registers.h"

namespace sim {

class FastGpio;

class SystemControl : public Peripheral {
 public:
  enum : std::size_t {
    kMamcr,
    kMamtim,
    kMemmap,
    kPllcon,
    kPllcfg,
    kPllstat,
    kPllfeed,
    kVpbdiv,
    kScs
  };
  static const Register kRegisters[kScs + 1];

  SystemControl(Findings& findings, Clock& clock);
  // SCS.GPIO0M changes which registers drive port 0's lines.
  void connect(FastGpio& gpio) { gpio_ = &gpio; }

  // Completes the PLL's lock once its time has come; inline, as every access begins with it.
  void catch_up() {
    if (pll_enabled() && !locked_) {
      count_xtal();
      if (xtal_ >= lock_at_) locked_ = true;
    }
  }
  // Any APB access other than the second feed write breaks a feed in progress; `name` names
  // the register accessed.
  bool feed_armed() const { return feed_armed_; }
  void abort_feed(const std::string& name);

  double cclk_hz() const;
  std::uint8_t mamcr() const { return static_cast<std::uint8_t>(reg(kMamcr)); }
  std::uint8_t mamtim() const { return static_cast<std::uint8_t>(reg(kMamtim)); }
  std::uint8_t memmap() const { return static_cast<std::uint8_t>(reg(kMemmap)); }
  bool fast_gpio() const { return reg(kScs) & chip::SCS_GPIO0M; }

 private:
  void reset_state() override;

  bool pll_enabled() const { return pllcon_now_ & chip::PLLCON_PLLE; }
  bool pll_connected() const { return pll_enabled() && (pllcon_now_ & chip::PLLCON_PLLC); }
  static unsigned multiplier(std::uint8_t cfg) { return (cfg & chip::PLLCFG_MSEL_MASK) + 1u; }
  static unsigned divider(std::uint8_t cfg);
  unsigned pclk_divider() const;
  // Brings the crystal clock count up to the processor clock count, where it is needed.
  void count_xtal();
  void check_mamtim();
  void check_pll_frequencies();
  void feed();

  std::uint32_t check_memmap(const Register& r, std::uint32_t v);
  std::uint32_t check_mamcr(const Register& r, std::uint32_t v);
  std::uint32_t check_mamtim_write(const Register& r, std::uint32_t v);
  void timing_changed(const Register& r, std::uint32_t v);
  void write_feed(const Register& r, std::uint32_t v);
  std::uint32_t read_pllstat(const Register& r, std::uint32_t stored);
  std::uint32_t check_vpbdiv(const Register& r, std::uint32_t v);
  void vpbdiv_written(const Register& r, std::uint32_t v);
  void scs_written(const Register& r, std::uint32_t v);

  Clock& clock_;
  FastGpio* gpio_ = nullptr;
  std::uint8_t pllcon_now_ = 0, pllcfg_now_ = 0;  // as the last feed made them
  bool feed_armed_ = false, locked_ = false;
  std::uint64_t lock_at_ = 0;  // crystal clocks
  std::uint64_t xtal_ = 0, xtal_rest_ = 0;
  std::uint64_t xtal_counted_to_ = 0;  // crystal clocks are counted up to this processor clock
};

}  // namespace sim
