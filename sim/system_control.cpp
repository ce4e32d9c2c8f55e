// System control (memory map, accelerator, PLL, VPB divider, SCS): the clocks the other
// peripherals count in.
#include "system_control.h"

#include "fast_gpio.h"
#include "sim/format.h"

namespace sim {

namespace {

// The PLL takes 100 us (1/10 000 s) of crystal clocks to lock, within the few hundred that
// the manual allows.
constexpr double kPllLocksPerSecond = 10'000;
constexpr double kCcoMinHz = 156e6;
constexpr double kCcoMaxHz = 320e6;
constexpr double kCclkMinHz = 10e6;
constexpr double kCclkMaxHz = 60e6;
// MAMTIM the manual recommends: 1 below 20 MHz, 2 up to 40 MHz, 3 above.
constexpr double kMamOneCycleHz = 20e6;
constexpr double kMamTwoCyclesHz = 40e6;
constexpr std::uint8_t kMamtimAbove40MHz = 3;
constexpr std::uint8_t kPllcfgFields =
    chip::PLLCFG_MSEL_MASK | (chip::PLLCFG_PSEL_MASK << chip::PLLCFG_PSEL_SHIFT);
constexpr std::uint32_t kPllconFields = chip::PLLCON_PLLE | chip::PLLCON_PLLC;
constexpr std::uint32_t kScsFields = chip::SCS_GPIO0M | chip::SCS_GPIO1M;

using S = SystemControl;

}  // namespace

const Register SystemControl::kRegisters[] = {
    {LPCDEMO_REGISTER(MAMCR), Access::ReadWrite, chip::MAMCR_OFF, chip::MAMCR_MODE_MASK, nullptr,
     checks(&S::check_mamcr), then(&S::timing_changed)},
    {LPCDEMO_REGISTER(MAMTIM), Access::ReadWrite, chip::MAMTIM_MAX, chip::MAMTIM_MAX, nullptr,
     checks(&S::check_mamtim_write), then(&S::timing_changed)},
    {LPCDEMO_REGISTER(MEMMAP), Access::ReadWrite, 0, chip::MEMMAP_MODE_MASK, nullptr,
     checks(&S::check_memmap)},
    {LPCDEMO_REGISTER(PLLCON), Access::ReadWrite, 0, kPllconFields},
    {LPCDEMO_REGISTER(PLLCFG), Access::ReadWrite, 0, kPllcfgFields},
    {LPCDEMO_REGISTER(PLLSTAT), Access::ReadOnly, 0, 0, reads(&S::read_pllstat)},
    {LPCDEMO_REGISTER(PLLFEED), Access::WriteOnly, 0, 0, nullptr, nullptr, then(&S::write_feed)},
    {LPCDEMO_REGISTER(VPBDIV), Access::ReadWrite, chip::VPBDIV_PCLK_QUARTER, chip::VPBDIV_MASK,
     nullptr, checks(&S::check_vpbdiv), then(&S::vpbdiv_written)},
    {LPCDEMO_REGISTER(SCS), Access::ReadWrite, 0, kScsFields, nullptr, nullptr,
     then(&S::scs_written)},
};

SystemControl::SystemControl(Findings& findings, Clock& clock)
    : Peripheral(kRegisters, findings), clock_(clock) {}

void SystemControl::reset_state() {
  pllcon_now_ = pllcfg_now_ = 0;
  feed_armed_ = locked_ = false;
  lock_at_ = xtal_ = xtal_rest_ = 0;
  xtal_counted_to_ = clock_.cclk;
  clock_.mark_rate_change();
  clock_.set_cclk_hz(cclk_hz());
  clock_.set_pclk_divider(pclk_divider());
}

unsigned SystemControl::divider(std::uint8_t cfg) {
  return 1u << ((cfg >> chip::PLLCFG_PSEL_SHIFT) & chip::PLLCFG_PSEL_MASK);
}

double SystemControl::cclk_hz() const {
  return pll_connected() ? clock_.crystal_hz * multiplier(pllcfg_now_) : clock_.crystal_hz;
}

unsigned SystemControl::pclk_divider() const {
  switch (reg(kVpbdiv)) {
    case chip::VPBDIV_PCLK_IS_CCLK:
      return 1;
    case chip::VPBDIV_PCLK_HALF:
      return 2;
    default:
      return 4;
  }
}

void SystemControl::count_xtal() {
  // The rate is fixed between feeds, so the clocks since the last count divide at once.
  const unsigned m = pll_connected() ? multiplier(pllcfg_now_) : 1;
  xtal_rest_ += clock_.cclk - xtal_counted_to_;
  xtal_counted_to_ = clock_.cclk;
  xtal_ += xtal_rest_ / m;
  xtal_rest_ %= m;
}

void SystemControl::check_mamtim() {
  if (mamcr() == chip::MAMCR_OFF) return;
  const double f = cclk_hz();
  const std::uint8_t need = f < kMamOneCycleHz ? 1 : f < kMamTwoCyclesHz ? 2 : kMamtimAbove40MHz;
  if (mamtim() < need) {
    fail(kMamtim, mamtim(),
         "flash fetches of " + std::to_string(mamtim()) + " clocks are too short at CCLK " +
             mhz(f) + " (at least " + std::to_string(need) + ")");
  }
}

void SystemControl::check_pll_frequencies() {
  const double f = clock_.crystal_hz * multiplier(pllcfg_now_);
  const double cco = f * 2 * divider(pllcfg_now_);
  if (cco < kCcoMinHz || cco > kCcoMaxHz) {
    fail(kPllcfg, pllcfg_now_, "CCO " + mhz(cco) + " lies outside 156-320 MHz");
  }
  if (f < kCclkMinHz || f > kCclkMaxHz) {
    fail(kPllcfg, pllcfg_now_, "CCLK " + mhz(f) + " lies outside 10-60 MHz");
  }
}

void SystemControl::feed() {
  feed_armed_ = false;
  count_xtal();  // at the old rate
  const bool was_enabled = pll_enabled();
  const bool was_connected = pll_connected();
  const bool cfg_changed = reg(kPllcfg) != pllcfg_now_;
  clock_.mark_rate_change();
  pllcon_now_ = static_cast<std::uint8_t>(reg(kPllcon));
  pllcfg_now_ = static_cast<std::uint8_t>(reg(kPllcfg));
  clock_.set_cclk_hz(cclk_hz());
  if (!pll_enabled()) {
    locked_ = false;
  } else if (!was_enabled || cfg_changed) {
    locked_ = false;
    lock_at_ = xtal_ + static_cast<std::uint64_t>(clock_.crystal_hz / kPllLocksPerSecond);
    check_pll_frequencies();
  }
  if (pll_connected() && !locked_) {
    fail(kPllcon, pllcon_now_, "PLL connected before it locked (PLLSTAT.PLOCK = 0)");
  }
  if (pll_connected() != was_connected) check_mamtim();
}

void SystemControl::abort_feed(const std::string& name) {
  feed_armed_ = false;
  fail(kPllfeed, chip::PLLFEED_FIRST,
       "feed aborted by an access to " + name + " between 0xAA and 0x55");
}

void SystemControl::write_feed(const Register&, std::uint32_t v) {
  if (v == chip::PLLFEED_FIRST) {
    feed_armed_ = true;
  } else if (v == chip::PLLFEED_SECOND && feed_armed_) {
    feed();
  } else if (v == chip::PLLFEED_SECOND) {
    fail(kPllfeed, v, "0x55 without 0xAA directly before it: no feed");
  } else {
    feed_armed_ = false;
    fail(kPllfeed, v, "not part of the feed sequence 0xAA, 0x55");
  }
}

std::uint32_t SystemControl::read_pllstat(const Register& r, std::uint32_t) {
  if (!pll_enabled()) {
    findings_.fail_once("pllstat-off", r, 0,
                        "read with the PLL not enabled by a feed: PLOCK will never set");
  } else if (!clock_.clocked) {
    locked_ = true;  // without a clock, lock is reached by the first poll
  }
  return pllcfg_now_ | (pll_enabled() ? chip::PLLSTAT_PLLE : 0) |
         ((pllcon_now_ & chip::PLLCON_PLLC) ? chip::PLLSTAT_PLLC : 0) |
         (locked_ ? chip::PLLSTAT_PLOCK : 0);
}

std::uint32_t SystemControl::check_memmap(const Register& r, std::uint32_t v) {
  if (v > chip::MEMMAP_USER_RAM) findings_.fail(r, v, "reserved mapping");
  return v;
}

std::uint32_t SystemControl::check_mamcr(const Register& r, std::uint32_t v) {
  if (v > chip::MAMCR_FULL) findings_.fail(r, v, "reserved mode (0 off, 1 partial, 2 full)");
  return v;
}

std::uint32_t SystemControl::check_mamtim_write(const Register& r, std::uint32_t v) {
  if (mamcr() != chip::MAMCR_OFF) {
    findings_.fail(r, v, "changed while the accelerator is on (MAMCR " + hex(mamcr()) + ")");
  }
  if (v == 0 || v > chip::MAMTIM_MAX) findings_.fail(r, v, "reserved value (1-7 allowed)");
  return v;
}

void SystemControl::timing_changed(const Register&, std::uint32_t) {
  check_mamtim();
}

std::uint32_t SystemControl::check_vpbdiv(const Register& r, std::uint32_t v) {
  if ((v & chip::VPBDIV_MASK) != chip::VPBDIV_MASK) return v;
  findings_.fail(r, v, "reserved divider: the previous one stays");
  return reg(kVpbdiv);
}

void SystemControl::vpbdiv_written(const Register&, std::uint32_t) {
  clock_.set_pclk_divider(pclk_divider());
}

void SystemControl::scs_written(const Register&, std::uint32_t) {
  if (gpio_) gpio_->update_lines();
}

}  // namespace sim
