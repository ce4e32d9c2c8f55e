// The pin connect block: which function each port-0 pin has.
#pragma once

#include <bit>
#include <cstdint>

#include "registers.h"

namespace sim {

class FastGpio;

class PinConnect : public Peripheral {
 public:
  enum : std::size_t { kPinsel0, kPinsel1 };
  static const Register kRegisters[kPinsel1 + 1];

  explicit PinConnect(Findings& findings);
  // A new function on P0.7 or P0.8 changes what drives the LCD's lines.
  void connect(FastGpio& gpio) { gpio_ = &gpio; }

  // The function of a port-0 pin, given as its mask.
  unsigned function(std::uint32_t pin) const {
    // PINSEL0 selects the functions of P0.0-P0.15, PINSEL1 those of P0.16-P0.31.
    return pin >> chip::PINSEL_PINS ? field(reg(kPinsel1), pin >> chip::PINSEL_PINS)
                                    : field(reg(kPinsel0), pin);
  }
  std::uint32_t pinsel0() const { return reg(kPinsel0); }
  const Register& pinsel0_register() const { return table()[kPinsel0]; }

 private:
  static unsigned field(std::uint32_t pinsel, std::uint32_t pin) {
    const unsigned shift = chip::PINSEL_FIELD_BITS * static_cast<unsigned>(std::countr_zero(pin));
    return (pinsel >> shift) & chip::PINSEL_FIELD_MASK;
  }
  void pinsel0_written(const Register& r, std::uint32_t v);

  FastGpio* gpio_ = nullptr;
};

}  // namespace sim
