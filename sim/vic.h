// The vectored interrupt controller, as far as the firmware touches it: VICVectAddr, written to
// acknowledge an interrupt that this board never raises.
#pragma once

#include "registers.h"

namespace sim {

class Vic : public Peripheral {
 public:
  enum : std::size_t { kVectAddr };
  static const Register kRegisters[kVectAddr + 1];

  explicit Vic(Findings& findings);

 private:
  // No interrupt is in service: the address of none.
  std::uint32_t read_vector(const Register&, std::uint32_t) { return 0; }
};

}  // namespace sim
