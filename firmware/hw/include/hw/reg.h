// Register access. Every access has the width of its register, fixed where the register is
// named (lpc2138.h). On the target it is a volatile load or store of exactly that width; on the
// host it goes to the Bus that the runner or a test installs.
#pragma once

#include <cstdint>
#include <type_traits>

namespace hw {

template <typename T>
struct Reg {
  static_assert(std::is_same_v<T, std::uint8_t> || std::is_same_v<T, std::uint16_t> ||
                std::is_same_v<T, std::uint32_t>);
  static constexpr unsigned width = 8 * sizeof(T);
  std::uint32_t addr;
};

using Reg8 = Reg<std::uint8_t>;
using Reg16 = Reg<std::uint16_t>;
using Reg32 = Reg<std::uint32_t>;

#if defined(LPCDEMO_TARGET)

template <typename T>
inline T read(Reg<T> r) {
  return *reinterpret_cast<volatile T*>(r.addr);
}

template <typename T>
inline void write(Reg<T> r, std::type_identity_t<T> value) {
  *reinterpret_cast<volatile T*>(r.addr) = value;
}

// One pass of a counted busy-wait; only the host observes it.
inline void delay_pass() {}

#else

class Bus {
 public:
  virtual ~Bus() = default;
  virtual std::uint32_t read(std::uint32_t addr, unsigned width) = 0;
  virtual void write(std::uint32_t addr, unsigned width, std::uint32_t value) = 0;
  // Called once per pass of a busy-wait loop, so tests can count delays.
  virtual void delay_pass() {}
};

// The bus register accesses go to; installing nullptr makes any access abort.
void set_bus(Bus* bus);
Bus& bus();

template <typename T>
inline T read(Reg<T> r) {
  return static_cast<T>(bus().read(r.addr, Reg<T>::width));
}

template <typename T>
inline void write(Reg<T> r, std::type_identity_t<T> value) {
  bus().write(r.addr, Reg<T>::width, value);
}

inline void delay_pass() {
  bus().delay_pass();
}

#endif

}  // namespace hw
