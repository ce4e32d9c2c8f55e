#include "hw/reg.h"

#include <cstdio>
#include <cstdlib>

namespace hw {
namespace {
Bus* current = nullptr;
}

void set_bus(Bus* b) {
  current = b;
}

Bus& bus() {
  if (current == nullptr) {
    std::fputs("lpcdemo: register access with no bus installed\n", stderr);
    std::abort();
  }
  return *current;
}

}  // namespace hw
