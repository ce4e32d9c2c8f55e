// ARM7TDMI cycle estimate per instruction (ARM state, ARMv4T), from the core's timing table:
// S, N and I cycles all count one processor clock here; memory wait states are added apart
// (flash through the accelerator, APB through the bridge).
#pragma once

#include <array>
#include <cstdint>

#include "emu/arm_decode.h"

namespace emu::arm {

inline constexpr std::uint32_t kBranchToSelf = 0xEAFFFFFE;  // B . (always)
// Condition flags in the CPSR.
inline constexpr std::uint32_t kFlagsN = 1u << 31, kFlagsZ = 1u << 30, kFlagsC = 1u << 29,
                               kFlagsV = 1u << 28;

enum class Multiply : std::uint8_t { None, Signed, UnsignedLong };

struct Timing {
  std::uint8_t cycles = 1;  // when executed; a multiply adds multiplier_cycles() on top
  std::uint32_t cond = kAlways;
  bool sets_flags = false;  // N, Z, C or V may change
  bool writes_pc = false;   // a branch or any other change of flow
  bool memory = false;      // loads or stores data
  Multiply multiply = Multiply::None;
  std::uint8_t rs = 0;       // multiplier operand register of a multiply
  std::uint16_t writes = 0;  // mask of registers r0..r15 it may write
  bool literal = false;      // a word load relative to the pc: address known statically
  std::uint32_t literal_addr = 0;
  bool halt = false;          // a branch to itself
  bool changes_mode = false;  // MSR to the control field of the CPSR
};

// The cost and effects of the instruction at addr.
Timing timing(const Instruction& i, std::uint32_t addr);
Timing decode(std::uint32_t insn, std::uint32_t addr);  // timing(decode_instruction(insn), addr)

// Internal cycles m of the multiplier (1..4): early termination when the upper bits of the
// multiplier operand are all zeros (or all ones, for the signed forms).
unsigned multiplier_cycles(std::uint32_t rs, Multiply kind);

namespace detail {

// Whether condition `cond` holds for the flags n, z, c, v.
constexpr bool holds(std::uint32_t cond, bool n, bool z, bool c, bool v) {
  switch (cond) {
    case 0x0:
      return z;
    case 0x1:
      return !z;
    case 0x2:
      return c;
    case 0x3:
      return !c;
    case 0x4:
      return n;
    case 0x5:
      return !n;
    case 0x6:
      return v;
    case 0x7:
      return !v;
    case 0x8:
      return c && !z;
    case 0x9:
      return !c || z;
    case 0xA:
      return n == v;
    case 0xB:
      return n != v;
    case 0xC:
      return !z && n == v;
    case 0xD:
      return z || n != v;
    case 0xE:
      return true;
    default:
      return false;  // NV: never on ARMv4
  }
}

// Per condition, bit i: whether it holds with NZCV = i (N = 8, Z = 4, C = 2, V = 1), the
// flags' places in the CPSR's top four bits. The emulator asks on every conditional transfer,
// exit and poll pass, so the answer is a table look-up.
constexpr std::array<std::uint16_t, 16> kHolds = [] {
  std::array<std::uint16_t, 16> t{};
  for (std::uint32_t cond = 0; cond < 16; ++cond) {
    for (unsigned nzcv = 0; nzcv < 16; ++nzcv) {
      if (holds(cond, nzcv & 8, nzcv & 4, nzcv & 2, nzcv & 1)) t[cond] |= 1u << nzcv;
    }
  }
  return t;
}();

}  // namespace detail

// Whether an instruction with condition field `cond` executes under the flags of `cpsr`.
inline bool condition_passed(std::uint32_t cond, std::uint32_t cpsr) {
  return (detail::kHolds[cond & 0xF] >> (cpsr >> 28)) & 1u;
}

}  // namespace emu::arm
