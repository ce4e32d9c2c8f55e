// System control (memory map, accelerator, PLL, VPB divider) and the port-0 pins: the clocks
// the other peripherals count in, and the LCD's select and reset lines.
#include "board_state.h"

#include "sim/format.h"

namespace sim {

using namespace board_detail;

namespace {

// The PLL takes 100 us (1/10 000 s) of crystal clocks to lock, within the few hundred that
// the manual allows.
constexpr std::uint64_t kPllLockCrystalCycles =
    static_cast<std::uint64_t>(Board::kCrystalHz / 10'000);
constexpr double kCcoMinHz = 156e6;
constexpr double kCcoMaxHz = 320e6;
constexpr double kCclkMinHz = 10e6;
constexpr double kCclkMaxHz = 60e6;
// MAMTIM the manual recommends: 1 below 20 MHz, 2 up to 40 MHz, 3 above.
constexpr double kMamOneCycleHz = 20e6;
constexpr double kMamTwoCyclesHz = 40e6;
constexpr std::uint8_t kMamtimAbove40MHz = 3;

}  // namespace

unsigned Board::State::divider(std::uint8_t cfg) const {
  return 1u << ((cfg >> L::PLLCFG_PSEL_SHIFT) & L::PLLCFG_PSEL_MASK);
}

double Board::State::cclk_hz() const {
  return pll_connected() ? kCrystalHz * multiplier(pllcfg_now) : kCrystalHz;
}

unsigned Board::State::pclk_divider() const {
  switch (vpbdiv) {
    case L::VPBDIV_PCLK_IS_CCLK:
      return 1;
    case L::VPBDIV_PCLK_HALF:
      return 2;
    default:
      return 4;
  }
}

void Board::State::advance(std::uint64_t cycles) {
  cclk += cycles;
  pclk_rest += cycles;
  // The divider is a power of two: a shift and a mask where a division would cost more than
  // the rest of a typical call.
  const auto shift = static_cast<unsigned>(std::countr_zero(pclk_divider()));
  pclk += pclk_rest >> shift;
  pclk_rest &= (std::uint64_t{1} << shift) - 1;
  catch_up();
}

void Board::State::count_xtal() {
  // The rate is fixed between feeds, so the clocks since the last count divide at once.
  const unsigned m = pll_connected() ? multiplier(pllcfg_now) : 1;
  xtal_rest += cclk - xtal_counted_to;
  xtal_counted_to = cclk;
  xtal += xtal_rest / m;
  xtal_rest %= m;
}

std::uint64_t Board::State::cclk_when(std::uint64_t pclk_at) const {
  if (pclk_at <= pclk) return cclk;
  // advance()'s rounding: pclk_rest processor clocks already count towards the next one.
  const std::uint64_t cycles = (pclk_at - pclk) * pclk_divider();
  return cclk + (cycles > pclk_rest ? cycles - pclk_rest : 0);
}

double Board::State::wire_ns() const {
  if (!clocked) return nominal_ns;
  return rate_since_ns + static_cast<double>(cclk - rate_since_cclk) * kNsPerSecond / cclk_hz();
}

double Board::State::wire_event(double length_ns) {
  const double ns = wire_ns();
  if (!clocked) nominal_ns += length_ns;
  return ns;
}

void Board::State::count_unclocked_access() {
  nominal_ns += kNsPerSecond / cclk_hz();  // each access nominally a processor clock
  if (stop_requested.load(std::memory_order_relaxed)) throw Stopped("stopped on request");
  // Without a clock nothing else ends firmware stuck in a loop: a calibration that never
  // settles, or a poll that can never succeed.
  if (++accesses_since_frame > kStallAccesses) {
    throw Stalled("no LCD frame in " + std::to_string(kStallAccesses) +
                  " register accesses: the firmware is stuck in a loop");
  }
}

void Board::State::check_mamtim() {
  if (mamcr == L::MAMCR_OFF) return;
  const double f = cclk_hz();
  const std::uint8_t need = f < kMamOneCycleHz ? 1 : f < kMamTwoCyclesHz ? 2 : kMamtimAbove40MHz;
  if (mamtim < need) {
    fail(L::MAMTIM.addr, mamtim,
         "flash fetches of " + std::to_string(mamtim) + " clocks are too short at CCLK " + mhz(f) +
             " (at least " + std::to_string(need) + ")");
  }
}

void Board::State::check_pll_frequencies() {
  const double f = kCrystalHz * multiplier(pllcfg_now);
  const double cco = f * 2 * divider(pllcfg_now);
  if (cco < kCcoMinHz || cco > kCcoMaxHz) {
    fail(L::PLLCFG.addr, pllcfg_now, "CCO " + mhz(cco) + " lies outside 156-320 MHz");
  }
  if (f < kCclkMinHz || f > kCclkMaxHz) {
    fail(L::PLLCFG.addr, pllcfg_now, "CCLK " + mhz(f) + " lies outside 10-60 MHz");
  }
}

void Board::State::feed() {
  feed_armed = false;
  count_xtal();  // at the old rate
  const bool was_enabled = pll_enabled();
  const bool was_connected = pll_connected();
  const bool cfg_changed = pllcfg != pllcfg_now;
  // The processor clock may change rate here: time so far was counted at the old one.
  rate_since_ns = wire_ns();
  rate_since_cclk = cclk;
  pllcon_now = pllcon;
  pllcfg_now = pllcfg;
  if (!pll_enabled()) {
    locked = false;
  } else if (!was_enabled || cfg_changed) {
    locked = false;
    lock_at = xtal + kPllLockCrystalCycles;
    check_pll_frequencies();
  }
  if (pll_connected() && !locked) {
    fail(L::PLLCON.addr, pllcon_now, "PLL connected before it locked (PLLSTAT.PLOCK = 0)");
  }
  if (pll_connected() != was_connected) check_mamtim();
}

void Board::State::write_feed(std::uint8_t v) {
  if (v == L::PLLFEED_FIRST) {
    feed_armed = true;
  } else if (v == L::PLLFEED_SECOND && feed_armed) {
    feed();
  } else if (v == L::PLLFEED_SECOND) {
    fail(L::PLLFEED.addr, v, "0x55 without 0xAA directly before it: no feed");
  } else {
    feed_armed = false;
    fail(L::PLLFEED.addr, v, "not part of the feed sequence 0xAA, 0x55");
  }
}

std::uint16_t Board::State::read_pllstat() {
  if (!pll_enabled()) {
    fail_once("pllstat-off", L::PLLSTAT.addr, 0,
              "read with the PLL not enabled by a feed: PLOCK will never set");
  } else if (!clocked) {
    locked = true;  // without a clock, lock is reached by the first poll
  }
  return static_cast<std::uint16_t>(pllcfg_now | (pll_enabled() ? L::PLLSTAT_PLLE : 0) |
                                    ((pllcon_now & L::PLLCON_PLLC) ? L::PLLSTAT_PLLC : 0) |
                                    (locked ? L::PLLSTAT_PLOCK : 0));
}

void Board::State::write_mamcr(std::uint8_t v) {
  if (v > L::MAMCR_FULL) fail(L::MAMCR.addr, v, "reserved mode (0 off, 1 partial, 2 full)");
  mamcr = v & L::MAMCR_MODE_MASK;
  check_mamtim();
}

void Board::State::write_mamtim(std::uint8_t v) {
  if (mamcr != L::MAMCR_OFF) {
    fail(L::MAMTIM.addr, v, "changed while the accelerator is on (MAMCR " + hex(mamcr) + ")");
  }
  if (v == 0 || v > L::MAMTIM_MAX) fail(L::MAMTIM.addr, v, "reserved value (1-7 allowed)");
  mamtim = v & L::MAMTIM_MAX;
  check_mamtim();
}

std::uint32_t Board::State::pin_level(std::uint32_t pin) const {
  // PINSEL0 selects the functions of P0.0-P0.15, PINSEL1 those of P0.16-P0.31.
  const unsigned function = pin >> L::PINSEL_PINS ? pinsel_function(pinsel1, pin >> L::PINSEL_PINS)
                                                  : pinsel_function(pinsel0, pin);
  const bool driven = (scs & L::SCS_GPIO0M) && (fiodir & pin) && function == L::PINSEL_GPIO;
  return driven ? (fiolatch & pin) : pin;  // undriven lines are pulled up
}

void Board::State::update_lcd_lines() {
  lcd.set_reset(pin_level(L::P0_LCD_RESET) == 0);
  lcd.set_select(pin_level(L::P0_LCD_CS) == 0);
  report_lines();
}

void Board::State::report_lines() {
  std::uint32_t levels = 0;
  for (std::uint32_t pin = 1; pin != 0; pin <<= 1) {
    if (pin & kWireLines) levels |= pin_level(pin);
  }
  if (levels == wire_lines) return;
  wire_lines = levels;
  const double ns = wire_ns();
  for (WireSink* s : wire_sinks) s->lines(ns, levels);
}

void Board::State::check_fast_gpio(std::uint32_t addr, std::uint32_t v) {
  if (!(scs & L::SCS_GPIO0M)) {
    fail_once("gpio0m", addr, v,
              "fast GPIO used while SCS.GPIO0M = 0: the legacy registers drive port 0");
  }
}

std::uint32_t Board::State::read_fiopin() const {
  std::uint32_t level = 0;
  for (unsigned pin = 0; pin < 32; ++pin) level |= pin_level(1u << pin);
  return level & ~fiomask;
}

}  // namespace sim
