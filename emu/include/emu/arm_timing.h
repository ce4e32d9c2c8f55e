// ARM7TDMI cycle estimate per instruction (ARM state, ARMv4T), from the core's timing table:
// S, N and I cycles all count one processor clock here; memory wait states are added apart
// (flash through the accelerator, APB through the bridge).
#pragma once

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

// Whether an instruction with condition field `cond` executes under the flags of `cpsr`.
bool condition_passed(std::uint32_t cond, std::uint32_t cpsr);

}  // namespace emu::arm
