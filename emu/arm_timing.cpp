#include "emu/arm_timing.h"

#include <algorithm>
#include <bit>

namespace emu::arm {
namespace {

// Cycle counts of the ARM7TDMI timing table with S = N = I = 1.
constexpr std::uint8_t kDataProcessing = 1;     // 1S
constexpr std::uint8_t kRegisterShift = 1;      // +1I
constexpr std::uint8_t kPcWrite = 2;            // +1S+1N refills the pipeline
constexpr std::uint8_t kLoad = 3;               // 1S+1N+1I
constexpr std::uint8_t kStore = 2;              // 2N
constexpr std::uint8_t kBranch = 3;             // 2S+1N
constexpr std::uint8_t kSwap = 4;               // 1S+2N+1I
constexpr std::uint8_t kSoftwareInterrupt = 3;  // 2S+1N
constexpr std::uint8_t kMultiply = 1;           // 1S, +m I
constexpr std::uint8_t kLongMultiply = 2;       // 1S+1I, +m I
constexpr std::uint8_t kAccumulate = 1;         // MLA, SMLAL, UMLAL: +1I

constexpr std::uint32_t bits(std::uint32_t v, unsigned hi, unsigned lo) {
  return (v >> lo) & ((1u << (hi - lo + 1)) - 1);
}
constexpr bool bit(std::uint32_t v, unsigned n) {
  return (v >> n) & 1u;
}
constexpr std::uint16_t reg(std::uint32_t r) {
  return static_cast<std::uint16_t>(1u << r);
}

// Register fields of the loads, stores and multiplies.
constexpr unsigned rn(std::uint32_t i) {
  return bits(i, 19, 16);
}
constexpr unsigned rd(std::uint32_t i) {
  return bits(i, 15, 12);
}

// MSR: field mask bit 19 covers the flags, bit 16 the control byte (mode) of the CPSR (bit 22
// clear) or SPSR.
void status_write(std::uint32_t insn, Timing& t) {
  t.sets_flags = bit(insn, 19) && !bit(insn, 22);
  t.changes_mode = bit(insn, 16) && !bit(insn, 22);
}

void data_processing(std::uint32_t insn, Timing& t) {
  const std::uint32_t opcode = bits(insn, 24, 21);
  const bool compare = opcode >= 0x8 && opcode <= 0xB;  // TST, TEQ, CMP, CMN write no register
  const bool register_shift = !bit(insn, 25) && bit(insn, 4);
  t.sets_flags = bit(insn, 20);
  t.cycles = kDataProcessing + (register_shift ? kRegisterShift : 0);
  if (compare) return;
  t.writes = reg(rd(insn));
  if (rd(insn) == kPc) {
    t.writes_pc = true;
    t.cycles += kPcWrite;
  }
}

void load_store(std::uint32_t insn, std::uint32_t addr, bool halfword, Timing& t) {
  const bool load = bit(insn, 20);
  const bool pre = bit(insn, 24);
  const bool writeback = !pre || bit(insn, 21);
  t.memory = true;
  if (writeback) t.writes |= reg(rn(insn));
  if (!load) {
    t.cycles = kStore;
    return;
  }
  t.writes |= reg(rd(insn));
  t.cycles = kLoad;
  if (rd(insn) == kPc) {
    t.writes_pc = true;
    t.cycles += kPcWrite;
  }
  // LDR rd, [pc, #imm]: a constant from the literal pool next to the code.
  const bool immediate_offset = !halfword && !bit(insn, 25);
  if (immediate_offset && rn(insn) == kPc && pre && !bit(insn, 21) && !bit(insn, 22)) {
    const std::uint32_t offset = bits(insn, 11, 0);
    t.literal = true;
    t.literal_addr = bit(insn, 23) ? addr + 8 + offset : addr + 8 - offset;
  }
}

void block_transfer(std::uint32_t insn, Timing& t) {
  const std::uint32_t list = bits(insn, 15, 0);
  const unsigned n = std::max(1, std::popcount(list));
  t.memory = true;
  if (bit(insn, 21)) t.writes |= reg(rn(insn));
  if (!bit(insn, 20)) {
    t.cycles = static_cast<std::uint8_t>(n + 1);  // (n-1)S+2N
    return;
  }
  t.writes |= static_cast<std::uint16_t>(list);
  t.cycles = static_cast<std::uint8_t>(n + 2);  // nS+1N+1I
  if (bit(list, kPc)) {
    t.writes_pc = true;
    t.cycles += kPcWrite;
  }
}

void multiply(std::uint32_t insn, Timing& t) {
  const bool accumulate = bit(insn, 21);
  t.sets_flags = bit(insn, 20);
  t.rs = static_cast<std::uint8_t>(bits(insn, 11, 8));
  if (!bit(insn, 23)) {  // MUL, MLA: rd in 19..16
    t.multiply = Multiply::Signed;
    t.cycles = kMultiply + (accumulate ? kAccumulate : 0);
    t.writes = reg(rn(insn));
    return;
  }
  t.multiply = bit(insn, 22) ? Multiply::Signed : Multiply::UnsignedLong;
  t.cycles = kLongMultiply + (accumulate ? kAccumulate : 0);
  t.writes = reg(rn(insn)) | reg(rd(insn));  // RdHi, RdLo
}

// Instruction class 000: data processing with register operand, multiplies, swaps, BX,
// status register moves and the halfword transfers.
void class0(std::uint32_t insn, std::uint32_t addr, Timing& t) {
  if ((insn & 0x0FFFFFF0) == 0x012FFF10) {  // BX
    t.cycles = kBranch;
    t.writes_pc = true;
    t.writes = reg(kPc);
  } else if ((insn & 0x0F0000F0) == 0x00000090) {  // MUL, MLA, long multiplies
    multiply(insn, t);
  } else if ((insn & 0x0FB00FF0) == 0x01000090) {  // SWP, SWPB
    t.cycles = kSwap;
    t.memory = true;
    t.writes = reg(rd(insn));
  } else if ((insn & 0x90) == 0x90) {  // LDRH, STRH, LDRSB, LDRSH
    load_store(insn, addr, true, t);
  } else if ((insn & 0x0FBF0FFF) == 0x010F0000) {  // MRS
    t.writes = reg(rd(insn));
  } else if ((insn & 0x0FB0FFF0) == 0x0120F000) {  // MSR from a register
    status_write(insn, t);
  } else {
    data_processing(insn, t);
  }
}

}  // namespace

Timing decode(std::uint32_t insn, std::uint32_t addr) {
  Timing t;
  t.cond = insn >> 28;
  switch (bits(insn, 27, 25)) {
    case 0:
      class0(insn, addr, t);
      break;
    case 1:
      if ((insn & 0x0FB0F000) == 0x0320F000) {  // MSR immediate
        status_write(insn, t);
      } else {
        data_processing(insn, t);
      }
      break;
    case 2:
      load_store(insn, addr, false, t);
      break;
    case 3:
      if (!bit(insn, 4)) load_store(insn, addr, false, t);  // else undefined
      break;
    case 4:
      block_transfer(insn, t);
      break;
    case 5:
      t.cycles = kBranch;
      t.writes_pc = true;
      t.writes = reg(kPc) | (bit(insn, 24) ? reg(kLr) : 0);
      t.halt = insn == kBranchToSelf;
      break;
    case 7:
      if (bit(insn, 24)) t.cycles = kSoftwareInterrupt;
      break;
    default:  // coprocessor transfers: the LPC2138 has no coprocessor, so they are undefined
      break;
  }
  return t;
}

unsigned multiplier_cycles(std::uint32_t rs, Multiply kind) {
  const bool ones_allowed = kind == Multiply::Signed;
  for (unsigned m = 1; m <= 3; ++m) {
    const std::uint32_t upper = rs >> (8 * m);
    const std::uint32_t all_ones = 0xFFFFFFFFu >> (8 * m);
    if (upper == 0 || (ones_allowed && upper == all_ones)) return m;
  }
  return 4;
}

bool condition_passed(std::uint32_t cond, std::uint32_t cpsr) {
  const bool n = cpsr & kFlagsN, z = cpsr & kFlagsZ, c = cpsr & kFlagsC, v = cpsr & kFlagsV;
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

}  // namespace emu::arm
