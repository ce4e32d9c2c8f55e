// The vectored interrupt controller's VICVectAddr.
#include "vic.h"

namespace sim {

const Register Vic::kRegisters[] = {
    {LPCDEMO_REGISTER(VICVectAddr), Access::ReadWrite, 0, 0xFFFFFFFF, reads(&Vic::read_vector)},
};

Vic::Vic(Findings& findings) : Peripheral(kRegisters, findings) {}

}  // namespace sim
