// The fields of an ARM instruction (ARM state, ARMv4T), decoded once, in one place: its class,
// condition, registers, addressing mode and offset. Block timing, the profile, the faults and
// the debugger read them here instead of picking bits out of the word.
//
// The classes follow the ARM7TDMI-S instruction set summary, checked in this order within the
// data processing space (bits 27..25 = 000): BX, the multiplies, SWP, the halfword and signed
// transfers, MRS and MSR, then data processing. Words the core leaves undefined come out as
// Undefined; the LPC2138 has no coprocessor, so coprocessor instructions are undefined too.
#pragma once

#include <cstdint>
#include <optional>

namespace emu::arm {

// Condition field value that always executes.
inline constexpr std::uint32_t kAlways = 0xE;
inline constexpr unsigned kPc = 15;
inline constexpr unsigned kSp = 13;
inline constexpr unsigned kLr = 14;

enum class Class : std::uint8_t {
  DataProcessing,    // AND..MVN: opcode, S, Rn, Rd, operand 2
  Multiply,          // MUL, MLA: Rd in 19..16, Rn (accumulate) in 15..12, Rs, Rm
  MultiplyLong,      // UMULL, UMLAL, SMULL, SMLAL: RdHi in 19..16, RdLo in 15..12, Rs, Rm
  Swap,              // SWP, SWPB: Rn, Rd, Rm
  StatusRead,        // MRS: Rd
  StatusWrite,       // MSR: field mask, register or immediate operand
  BranchExchange,    // BX: Rm
  SingleTransfer,    // LDR, STR, LDRB, STRB (and the T forms)
  HalfwordTransfer,  // LDRH, STRH, LDRSB, LDRSH
  BlockTransfer,     // LDM, STM
  Branch,            // B, BL
  SoftwareInterrupt,
  Coprocessor,  // CDP, LDC, STC, MCR, MRC: undefined without a coprocessor
  Undefined,
};

// How operand 2 of a data processing instruction, or the offset of a transfer, is formed.
enum class Operand : std::uint8_t {
  None,
  Immediate,      // `imm`: rotated for data processing, plain for transfers
  Register,       // Rm shifted by a constant `shift_amount` (LSL #0: Rm itself)
  RegisterShift,  // Rm shifted by the bottom byte of Rs (data processing only)
};

enum class Shift : std::uint8_t { Lsl, Lsr, Asr, Ror };

// Data processing opcodes that the timing and the poll loops look for.
inline constexpr std::uint8_t kOpSub = 0x2, kOpAdd = 0x4, kOpTst = 0x8, kOpCmp = 0xA, kOpCmn = 0xB,
                              kOpMov = 0xD;

struct Instruction {
  std::uint32_t word = 0;
  Class kind = Class::Undefined;
  std::uint8_t cond = kAlways;
  std::uint8_t rn = 0, rd = 0, rm = 0, rs = 0;
  std::uint8_t rd_hi = 0;   // a long multiply's RdHi (rd is RdLo)
  std::uint8_t opcode = 0;  // data processing
  bool set_flags = false;   // S of data processing and multiplies
  bool accumulate = false;  // MLA, UMLAL, SMLAL
  bool sign = false;        // SMULL, SMLAL; LDRSB, LDRSH
  // Transfers. `load` is the L bit of single, halfword and block transfers (SWP has none: it
  // reads and writes). `writeback`: the base register is written, as every post-indexed single
  // or halfword transfer does.
  bool load = false, pre = false, up = false, writeback = false;
  std::uint8_t size = 0;        // bytes moved by a single, halfword or swap transfer
  std::uint16_t registers = 0;  // a block transfer's list
  bool user = false;            // S of a block transfer: user bank, or CPSR from SPSR
  // Operand 2, or a transfer's offset.
  Operand operand = Operand::None;
  std::uint32_t imm = 0;    // rotated where data processing rotates it; SWI: its number
  std::uint8_t rotate = 0;  // data processing immediate: rotated right by twice this
  Shift shift = Shift::Lsl;
  std::uint8_t shift_amount = 0;  // as encoded: LSR #32 and ASR #32 are 0 here
  // Branches.
  bool link = false;
  std::int32_t offset = 0;  // B, BL: bytes from the instruction's address + 8
  // Status register moves.
  bool spsr = false;
  std::uint8_t fields = 0;  // MSR field mask: bit 0 control, bit 3 flags

  // Where a branch goes, from the address of the branch.
  std::uint32_t target(std::uint32_t addr) const {
    return addr + 8 + static_cast<std::uint32_t>(offset);
  }
  // A single or halfword transfer with a constant offset (`imm`, added when `up`).
  bool immediate_transfer() const {
    return (kind == Class::SingleTransfer || kind == Class::HalfwordTransfer) &&
           operand == Operand::Immediate;
  }
};

Instruction decode_instruction(std::uint32_t word);

// Rm's value shifted by the constant of a Register operand (the barrel shifter, carry apart):
// LSR #0 and ASR #0 encode #32; ROR #0 encodes RRX, taken here as Rm unrotated.
std::uint32_t shifted(const Instruction& i, std::uint32_t rm);

// The address a single or halfword transfer at `pc` accesses under registers r (the pc reads as
// its address + 8); nothing for the other classes.
std::optional<std::uint32_t> transfer_address(const Instruction& i, std::uint32_t pc,
                                              const std::uint32_t* r);

// The lowest address a block transfer from `base` reaches (its first word), before the core
// drops the address's low bits.
std::uint32_t block_transfer_start(const Instruction& i, std::uint32_t base);

}  // namespace emu::arm
