#include "emu/arm_decode.h"

#include <bit>

namespace emu::arm {
namespace {

constexpr std::uint32_t bits(std::uint32_t v, unsigned hi, unsigned lo) {
  return (v >> lo) & ((1u << (hi - lo + 1)) - 1);
}
constexpr bool bit(std::uint32_t v, unsigned n) {
  return (v >> n) & 1u;
}
constexpr std::uint8_t field(std::uint32_t v, unsigned hi, unsigned lo) {
  return static_cast<std::uint8_t>(bits(v, hi, lo));
}

// A pattern in the style of the instruction set summary: the bits under `mask` equal `value`.
struct Pattern {
  std::uint32_t mask, value;
  constexpr bool operator()(std::uint32_t w) const { return (w & mask) == value; }
};
constexpr Pattern kBx{0x0FFFFFF0, 0x012FFF10};
constexpr Pattern kMultiply{0x0FC000F0, 0x00000090};
constexpr Pattern kMultiplyLong{0x0F8000F0, 0x00800090};
constexpr Pattern kSwap{0x0FB00FF0, 0x01000090};
constexpr Pattern kHalfword{0x0E000090, 0x00000090};  // and SH (bits 6..5) not 00
constexpr Pattern kMrs{0x0FBF0FFF, 0x010F0000};
constexpr Pattern kMsrRegister{0x0FB0FFF0, 0x0120F000};
constexpr Pattern kMsrImmediate{0x0FB0F000, 0x0320F000};

// Operand 2 of data processing, or a register offset: Rm shifted by a constant or by Rs.
void register_operand(std::uint32_t w, Instruction& i) {
  i.rm = field(w, 3, 0);
  i.shift = static_cast<Shift>(bits(w, 6, 5));
  if (bit(w, 4)) {
    i.operand = Operand::RegisterShift;
    i.rs = field(w, 11, 8);
  } else {
    i.operand = Operand::Register;
    i.shift_amount = field(w, 11, 7);
  }
}

void data_processing(std::uint32_t w, Instruction& i) {
  i.kind = Class::DataProcessing;
  i.opcode = field(w, 24, 21);
  i.set_flags = bit(w, 20);
  i.rn = field(w, 19, 16);
  i.rd = field(w, 15, 12);
  if (!bit(w, 25)) return register_operand(w, i);
  const std::uint32_t v = bits(w, 7, 0);
  const unsigned rot = 2 * bits(w, 11, 8);
  i.operand = Operand::Immediate;
  i.rotate = field(w, 11, 8);
  i.imm = rot ? (v >> rot) | (v << (32 - rot)) : v;
}

void status_register(std::uint32_t w, Instruction& i) {
  i.spsr = bit(w, 22);
  if (kMrs(w)) {
    i.kind = Class::StatusRead;
    i.rd = field(w, 15, 12);
    return;
  }
  i.kind = Class::StatusWrite;
  i.fields = field(w, 19, 16);
  if (bit(w, 25)) {
    const std::uint32_t v = bits(w, 7, 0);
    const unsigned rot = 2 * bits(w, 11, 8);
    i.operand = Operand::Immediate;
    i.rotate = field(w, 11, 8);
    i.imm = rot ? (v >> rot) | (v << (32 - rot)) : v;
  } else {
    i.operand = Operand::Register;
    i.rm = field(w, 3, 0);
  }
}

void multiply(std::uint32_t w, Instruction& i) {
  i.accumulate = bit(w, 21);
  i.set_flags = bit(w, 20);
  i.rs = field(w, 11, 8);
  i.rm = field(w, 3, 0);
  if (kMultiply(w)) {
    i.kind = Class::Multiply;
    i.rd = field(w, 19, 16);
    i.rn = field(w, 15, 12);
  } else {
    i.kind = Class::MultiplyLong;
    i.sign = bit(w, 22);
    i.rd_hi = field(w, 19, 16);
    i.rd = field(w, 15, 12);
  }
}

// P, U, W, L, Rn and Rd, common to single and halfword transfers.
void transfer(std::uint32_t w, Instruction& i) {
  i.pre = bit(w, 24);
  i.up = bit(w, 23);
  i.writeback = !i.pre || bit(w, 21);
  i.load = bit(w, 20);
  i.rn = field(w, 19, 16);
  i.rd = field(w, 15, 12);
}

void halfword_transfer(std::uint32_t w, Instruction& i) {
  i.kind = Class::HalfwordTransfer;
  transfer(w, i);
  i.sign = bit(w, 6);
  i.size = bit(w, 5) ? 2 : 1;  // SH: 01 unsigned halfword, 10 signed byte, 11 signed halfword
  if (bit(w, 22)) {
    i.operand = Operand::Immediate;
    i.imm = bits(w, 11, 8) << 4 | bits(w, 3, 0);
  } else {
    i.operand = Operand::Register;
    i.rm = field(w, 3, 0);
  }
}

void single_transfer(std::uint32_t w, Instruction& i) {
  i.kind = Class::SingleTransfer;
  transfer(w, i);
  i.size = bit(w, 22) ? 1 : 4;
  if (bit(w, 25)) {
    register_operand(w, i);
  } else {
    i.operand = Operand::Immediate;
    i.imm = bits(w, 11, 0);
  }
}

// Bits 27..25 = 000: data processing with a register operand, multiplies, swaps, BX, status
// register moves and the halfword transfers.
void class0(std::uint32_t w, Instruction& i) {
  if (kBx(w)) {
    i.kind = Class::BranchExchange;
    i.rm = field(w, 3, 0);
  } else if (kMultiply(w) || kMultiplyLong(w)) {
    multiply(w, i);
  } else if (kSwap(w)) {
    i.kind = Class::Swap;
    i.size = bit(w, 22) ? 1 : 4;
    i.rn = field(w, 19, 16);
    i.rd = field(w, 15, 12);
    i.rm = field(w, 3, 0);
  } else if (kHalfword(w)) {
    if (bits(w, 6, 5) != 0) halfword_transfer(w, i);  // else left undefined
  } else if (kMrs(w) || kMsrRegister(w)) {
    status_register(w, i);
  } else {
    data_processing(w, i);
  }
}

}  // namespace

Instruction decode_instruction(std::uint32_t w) {
  Instruction i;
  i.word = w;
  i.cond = field(w, 31, 28);
  switch (bits(w, 27, 25)) {
    case 0:
      class0(w, i);
      break;
    case 1:
      if (kMsrImmediate(w)) {
        status_register(w, i);
      } else {
        data_processing(w, i);
      }
      break;
    case 2:
      single_transfer(w, i);
      break;
    case 3:
      if (!bit(w, 4)) single_transfer(w, i);  // else undefined
      break;
    case 4:
      i.kind = Class::BlockTransfer;
      i.pre = bit(w, 24);
      i.up = bit(w, 23);
      i.user = bit(w, 22);
      i.writeback = bit(w, 21);
      i.load = bit(w, 20);
      i.rn = field(w, 19, 16);
      i.registers = static_cast<std::uint16_t>(bits(w, 15, 0));
      break;
    case 5:
      i.kind = Class::Branch;
      i.link = bit(w, 24);
      i.offset = static_cast<std::int32_t>(w << 8) >> 6;  // 24 bits, in words, sign-extended
      break;
    case 6:
      i.kind = Class::Coprocessor;
      break;
    default:
      if (bit(w, 24)) {
        i.kind = Class::SoftwareInterrupt;
        i.imm = bits(w, 23, 0);
      } else {
        i.kind = Class::Coprocessor;
      }
      break;
  }
  return i;
}

std::uint32_t shifted(const Instruction& i, std::uint32_t rm) {
  const unsigned amount = i.shift_amount;
  switch (i.shift) {
    case Shift::Lsl:
      return rm << amount;
    case Shift::Lsr:
      return amount ? rm >> amount : 0;
    case Shift::Asr:
      return static_cast<std::uint32_t>(static_cast<std::int32_t>(rm) >> (amount ? amount : 31));
    case Shift::Ror:
      return amount ? (rm >> amount) | (rm << (32 - amount)) : rm;
  }
  return rm;
}

std::optional<std::uint32_t> transfer_address(const Instruction& i, std::uint32_t pc,
                                              const std::uint32_t* r) {
  if (i.kind != Class::SingleTransfer && i.kind != Class::HalfwordTransfer) return std::nullopt;
  const std::uint32_t base = i.rn == kPc ? pc + 8 : r[i.rn];
  const std::uint32_t offset = i.operand == Operand::Immediate ? i.imm : shifted(i, r[i.rm]);
  if (!i.pre) return base;  // post-indexed: the base, offset after
  return i.up ? base + offset : base - offset;
}

std::uint32_t block_transfer_start(const Instruction& i, std::uint32_t base) {
  constexpr std::uint32_t kWordBytes = 4;
  const auto bytes = kWordBytes * static_cast<std::uint32_t>(std::popcount(i.registers));
  if (i.up) return i.pre ? base + kWordBytes : base;
  return i.pre ? base - bytes : base - bytes + kWordBytes;
}

}  // namespace emu::arm
