// Fast GPIO of port 0 and the lines it drives.
#include "fast_gpio.h"

#include "pin_connect.h"
#include "system_control.h"

namespace sim {

namespace {
using G = FastGpio;
constexpr std::uint32_t kAll = 0xFFFFFFFF;
}  // namespace

// FIO0SET holds the output latch: SET, CLR and PIN writes change it, a SET read gives it.
const Register FastGpio::kRegisters[] = {
    {LPCDEMO_REGISTER(FIO0DIR), Access::ReadWrite, 0, kAll, reads(&G::read_checked),
     checks(&G::check_write), then(&G::lines_written)},
    {LPCDEMO_REGISTER(FIO0MASK), Access::ReadWrite, 0, kAll, reads(&G::read_checked),
     checks(&G::check_write), then(&G::lines_written)},
    {LPCDEMO_REGISTER(FIO0PIN), Access::ReadWrite, 0, kAll, reads(&G::read_pin),
     checks(&G::write_pin), then(&G::lines_written)},
    {LPCDEMO_REGISTER(FIO0SET), Access::ReadWrite, 0, kAll, reads(&G::read_checked),
     checks(&G::write_set), then(&G::lines_written)},
    {LPCDEMO_REGISTER(FIO0CLR), Access::WriteOnly, 0, 0, nullptr, checks(&G::check_write),
     then(&G::write_clr)},
};

FastGpio::FastGpio(Findings& findings, Clock& clock, const PinConnect& pins,
                   const SystemControl& scs)
    : Peripheral(kRegisters, findings), clock_(clock), pins_(pins), scs_(scs) {}

std::uint32_t FastGpio::pin_level(std::uint32_t pin) const {
  const bool driven =
      scs_.fast_gpio() && (reg(kDir) & pin) && pins_.function(pin) == chip::PINSEL_GPIO;
  return driven ? (reg(kSet) & pin) : pin;  // undriven lines are pulled up
}

void FastGpio::update_lines() {
  if (lcd_) {
    lcd_->set_reset(pin_level(chip::P0_LCD_RESET) == 0);
    lcd_->set_select(pin_level(chip::P0_LCD_CS) == 0);
  }
  report_lines();
}

void FastGpio::report_lines() {
  std::uint32_t levels = 0;
  for (std::uint32_t pin = 1; pin != 0; pin <<= 1) {
    if (pin & kWireLines) levels |= pin_level(pin);
  }
  if (levels == wire_lines_) return;
  wire_lines_ = levels;
  const double ns = clock_.wire_ns();
  for (WireSink* s : clock_.wire_sinks) s->lines(ns, levels);
}

void FastGpio::check_mode(const Register& r, std::uint32_t v) {
  if (!scs_.fast_gpio()) {
    findings_.fail_once("gpio0m", r, v,
                        "fast GPIO used while SCS.GPIO0M = 0: the legacy registers drive port 0");
  }
}

std::uint32_t FastGpio::read_checked(const Register& r, std::uint32_t stored) {
  check_mode(r, stored);
  return stored;
}

std::uint32_t FastGpio::read_pin(const Register& r, std::uint32_t) {
  check_mode(r, 0);
  std::uint32_t level = 0;
  for (unsigned pin = 0; pin < 32; ++pin) level |= pin_level(1u << pin);
  return level & ~reg(kMask);
}

std::uint32_t FastGpio::check_write(const Register& r, std::uint32_t v) {
  check_mode(r, v);
  return v;
}

std::uint32_t FastGpio::write_pin(const Register& r, std::uint32_t v) {
  check_mode(r, v);
  set_reg(kSet, (reg(kSet) & reg(kMask)) | (v & open()));
  return v;
}

std::uint32_t FastGpio::write_set(const Register& r, std::uint32_t v) {
  check_mode(r, v);
  return reg(kSet) | (v & open());
}

void FastGpio::write_clr(const Register&, std::uint32_t v) {
  set_reg(kSet, reg(kSet) & ~(v & open()));
  update_lines();
}

void FastGpio::lines_written(const Register&, std::uint32_t) {
  update_lines();
}

}  // namespace sim
