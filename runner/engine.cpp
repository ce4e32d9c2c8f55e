#include "runner/engine.h"

#include <stdexcept>

#include "sim/refusal.h"

namespace runner {

void Engine::record_profile() {
  throw sim::Refusal("only the emulated image counts the clocks a profile shows");
}

std::string Engine::location() const {
  return {};
}

std::string Engine::write_profile(const std::string&, const std::string&) const {
  throw std::runtime_error("no profile recorded");
}

}  // namespace runner
