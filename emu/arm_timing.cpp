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

constexpr std::uint16_t reg(std::uint32_t r) {
  return static_cast<std::uint16_t>(1u << r);
}

// MSR: field mask bit 3 covers the flags, bit 0 the control byte (mode) of the CPSR (not the
// SPSR).
void status_write(const Instruction& i, Timing& t) {
  t.sets_flags = (i.fields & 0x8) && !i.spsr;
  t.changes_mode = (i.fields & 0x1) && !i.spsr;
}

void data_processing(const Instruction& i, Timing& t) {
  const bool compare = i.opcode >= kOpTst && i.opcode <= kOpCmn;  // TST, TEQ, CMP, CMN
  t.sets_flags = i.set_flags;
  t.cycles = kDataProcessing + (i.operand == Operand::RegisterShift ? kRegisterShift : 0);
  if (compare) return;
  t.writes = reg(i.rd);
  if (i.rd == kPc) {
    t.writes_pc = true;
    t.cycles += kPcWrite;
  }
}

void load_store(const Instruction& i, std::uint32_t addr, Timing& t) {
  t.memory = true;
  if (i.writeback) t.writes |= reg(i.rn);
  if (!i.load) {
    t.cycles = kStore;
    return;
  }
  t.writes |= reg(i.rd);
  t.cycles = kLoad;
  if (i.rd == kPc) {
    t.writes_pc = true;
    t.cycles += kPcWrite;
  }
  // LDR rd, [pc, #imm]: a constant from the literal pool next to the code.
  const bool word = i.kind == Class::SingleTransfer && i.size == 4;
  if (word && i.operand == Operand::Immediate && i.rn == kPc && i.pre && !i.writeback) {
    t.literal = true;
    t.literal_addr = i.up ? addr + 8 + i.imm : addr + 8 - i.imm;
  }
}

void block_transfer(const Instruction& i, Timing& t) {
  const unsigned n = std::max(1, std::popcount(i.registers));
  t.memory = true;
  if (i.writeback) t.writes |= reg(i.rn);
  if (!i.load) {
    t.cycles = static_cast<std::uint8_t>(n + 1);  // (n-1)S+2N
    return;
  }
  t.writes |= i.registers;
  t.cycles = static_cast<std::uint8_t>(n + 2);  // nS+1N+1I
  if (i.registers & reg(kPc)) {
    t.writes_pc = true;
    t.cycles += kPcWrite;
  }
}

void multiply(const Instruction& i, Timing& t) {
  t.sets_flags = i.set_flags;
  t.rs = i.rs;
  if (i.kind == Class::Multiply) {
    t.multiply = Multiply::Signed;
    t.cycles = kMultiply + (i.accumulate ? kAccumulate : 0);
    t.writes = reg(i.rd);
    return;
  }
  t.multiply = i.sign ? Multiply::Signed : Multiply::UnsignedLong;
  t.cycles = kLongMultiply + (i.accumulate ? kAccumulate : 0);
  t.writes = reg(i.rd_hi) | reg(i.rd);
}

}  // namespace

Timing decode(std::uint32_t insn, std::uint32_t addr) {
  return timing(decode_instruction(insn), addr);
}

Timing timing(const Instruction& i, std::uint32_t addr) {
  Timing t;
  t.cond = i.cond;
  switch (i.kind) {
    case Class::DataProcessing:
      data_processing(i, t);
      break;
    case Class::Multiply:
    case Class::MultiplyLong:
      multiply(i, t);
      break;
    case Class::Swap:
      t.cycles = kSwap;
      t.memory = true;
      t.writes = reg(i.rd);
      break;
    case Class::StatusRead:
      t.writes = reg(i.rd);
      break;
    case Class::StatusWrite:
      status_write(i, t);
      break;
    case Class::BranchExchange:
      t.cycles = kBranch;
      t.writes_pc = true;
      t.writes = reg(kPc);
      break;
    case Class::SingleTransfer:
    case Class::HalfwordTransfer:
      load_store(i, addr, t);
      break;
    case Class::BlockTransfer:
      block_transfer(i, t);
      break;
    case Class::Branch:
      t.cycles = kBranch;
      t.writes_pc = true;
      t.writes = reg(kPc) | (i.link ? reg(kLr) : 0);
      t.halt = i.word == kBranchToSelf;
      break;
    case Class::SoftwareInterrupt:
      t.cycles = kSoftwareInterrupt;
      break;
    case Class::Coprocessor:  // the LPC2138 has no coprocessor: undefined
    case Class::Undefined:
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

}  // namespace emu::arm
