// The pin connect block.
#include "pin_connect.h"

#include "fast_gpio.h"

namespace sim {

const Register PinConnect::kRegisters[] = {
    {LPCDEMO_REGISTER(PINSEL0), Access::ReadWrite, 0, 0xFFFFFFFF, nullptr, nullptr,
     then(&PinConnect::pinsel0_written)},
    {LPCDEMO_REGISTER(PINSEL1), Access::ReadWrite, 0, 0xFFFFFFFF},
};

PinConnect::PinConnect(Findings& findings) : Peripheral(kRegisters, findings) {}

void PinConnect::pinsel0_written(const Register&, std::uint32_t) {
  if (gpio_) gpio_->update_lines();
}

}  // namespace sim
