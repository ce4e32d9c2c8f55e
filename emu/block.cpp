#include "emu/block.h"

#include <algorithm>
#include <bit>

namespace emu {
namespace {

constexpr std::uint32_t kWord = 4;
// Exception vectors after the reset slot: the core never enters them here (interrupts stay
// masked and Unicorn reports the exceptions itself), so getting there is a wild jump.
constexpr std::uint32_t kFirstVector = 0x04, kVectorsEnd = 0x20;

// The operand of a data-processing instruction with an immediate: 8 bits rotated right.
std::uint32_t rotated_immediate(std::uint32_t insn) {
  const std::uint32_t v = insn & 0xFF;
  const unsigned rot = 2 * ((insn >> 8) & 0xF);
  return rot ? (v >> rot) | (v << (32 - rot)) : v;
}

// Recognises `LDR{B,H} rx, [ry, #k]; TST|CMP rx, #imm; B<cond> <the load>`.
void recognise_spin(Block& b, const std::vector<std::uint32_t>& w) {
  constexpr unsigned kSpinLength = 3;
  if (b.insns != kSpinLength) return;
  const std::uint32_t load = w[0], test = w[1], branch = w[2];
  const bool word_or_byte = (load & 0x0F300000) == 0x05100000;  // LDR/LDRB, pre, no writeback
  const bool halfword = (load & 0x0F7000F0) == 0x015000B0;      // LDRH, immediate, pre
  if (load >> 28 != arm::kAlways || (!word_or_byte && !halfword)) return;
  const std::uint32_t rd = (load >> 12) & 0xF, rn = (load >> 16) & 0xF;
  if (rd == arm::kPc || rn == arm::kPc || rd == rn) return;
  const std::uint32_t opcode = (test >> 21) & 0xF;
  constexpr std::uint32_t kTst = 0x8, kCmp = 0xA;
  const bool test_ok = test >> 28 == arm::kAlways && (test & 0x0E100000) == 0x02100000 &&
                       (opcode == kTst || opcode == kCmp) && ((test >> 16) & 0xF) == rd;
  if (!test_ok) return;
  const std::int32_t offset = static_cast<std::int32_t>(branch << 8) >> 6;
  const std::uint32_t target = b.addr + 2 * kWord + 8 + static_cast<std::uint32_t>(offset);
  if ((branch & 0x0F000000) != 0x0A000000 || branch >> 28 == arm::kAlways || target != b.addr) {
    return;
  }
  b.spin = true;
  b.spin_compare = opcode == kCmp;
  b.spin_imm = rotated_immediate(test);
  b.spin_imm_rotated = ((test >> 8) & 0xF) != 0;
  b.spin_cond = branch >> 28;
}

// Follows the stack pointer through the block by the constants that move it (push, pop,
// add and sub of an immediate, write-back of a transfer) and records the lowest byte that a
// store through it writes. Anything else that sets sp ends the search.
void find_stack_writes(Block& b, const std::vector<std::uint32_t>& w) {
  std::int32_t sp = 0;  // relative to the block's start
  auto store = [&](std::int32_t low, std::uint32_t i) {
    if (b.stack_write && low >= b.stack_low) return;
    b.stack_write = true;
    b.stack_low = low;
    b.stack_low_at = b.addr + i * kWord;
  };
  for (std::uint32_t i = 0; i < w.size(); ++i) {
    const std::uint32_t insn = w[i];
    const arm::Timing t = arm::decode(insn, b.addr + i * kWord);
    const bool through_sp = t.cond == arm::kAlways && ((insn >> 16) & 0xF) == arm::kSp;
    const bool up = insn & (1u << 23), pre = insn & (1u << 24), writeback = insn & (1u << 21);
    const bool load = insn & (1u << 20);
    const std::uint32_t cls = (insn >> 25) & 7;
    const bool halfword = cls == 0 && (insn & 0x90) == 0x90 && (insn & 0x60) != 0 &&
                          (insn & (1u << 22));  // immediate offset
    std::optional<std::int32_t> moved;          // sp after it, when a constant moves it
    if (through_sp && cls == 4) {               // LDM, STM
      const auto bytes =
          static_cast<std::int32_t>(kWord * static_cast<unsigned>(std::popcount(insn & 0xFFFFu)));
      if (!load) store(up ? sp + (pre ? 4 : 0) : sp - bytes + (pre ? 0 : 4), i);
      const bool loads_sp = load && (insn & (1u << arm::kSp));
      if (!loads_sp) moved = writeback ? sp + (up ? bytes : -bytes) : sp;
    } else if (through_sp && (cls == 2 || halfword)) {
      const auto offset =
          static_cast<std::int32_t>(halfword ? ((insn >> 4) & 0xF0) | (insn & 0xF) : insn & 0xFFF);
      const std::int32_t after = sp + (up ? offset : -offset);
      if (!load) store(pre ? after : sp, i);
      const bool loads_sp = load && ((insn >> 12) & 0xF) == arm::kSp;
      if (!loads_sp) moved = pre && !writeback ? sp : after;
    } else if (through_sp && cls == 1 && ((insn >> 12) & 0xF) == arm::kSp) {
      constexpr std::uint32_t kSub = 0x2, kAdd = 0x4;
      const std::uint32_t opcode = (insn >> 21) & 0xF;
      const auto imm = static_cast<std::int32_t>(rotated_immediate(insn));
      if (opcode == kSub) moved = sp - imm;
      if (opcode == kAdd) moved = sp + imm;
    }
    if (moved) {
      sp = *moved;
    } else if ((t.writes & (1u << arm::kSp)) || t.changes_mode) {
      return;
    }
  }
}

// Straight-line code, decoded, and what its instructions change.
class Code {
 public:
  Code(std::uint32_t addr, const std::vector<std::uint32_t>& words) : t_(words.size()) {
    for (std::size_t i = 0; i < words.size(); ++i) {
      t_[i] = arm::decode(words[i], addr + static_cast<std::uint32_t>(i) * kWord);
    }
  }
  const arm::Timing& operator[](std::uint32_t i) const { return t_[i]; }
  auto size() const { return static_cast<std::uint32_t>(t_.size()); }

  // The part of instruction i's cost that depends on the state it runs in, if any: a
  // multiply's operand, or a conditional instruction that costs more executed than skipped
  // (a change of flow that ends a block is settled by where the block went).
  std::optional<Dynamic> dynamic(std::uint32_t i) const {
    const arm::Timing& x = t_[i];
    const bool conditional = x.cond != arm::kAlways;
    const auto extra = static_cast<std::uint8_t>(conditional ? x.cycles - 1 : 0);
    if (x.multiply != arm::Multiply::None) return Dynamic{x.cond, extra, x.multiply, x.rs, i};
    if (!conditional || x.writes_pc || x.cycles == 1) return std::nullopt;
    return Dynamic{x.cond, extra, arm::Multiply::None, 0, i};
  }
  // Whether anything in [from, to) may change what d depends on.
  bool changes(const Dynamic& d, std::uint32_t from, std::uint32_t to) const {
    for (std::uint32_t j = from; j < to; ++j) {
      const bool operand = d.kind != arm::Multiply::None && ((t_[j].writes >> d.rs) & 1u);
      const bool flags = d.cond != arm::kAlways && t_[j].sets_flags;
      if (operand || flags) return true;
    }
    return false;
  }

 private:
  std::vector<arm::Timing> t_;
};

}  // namespace

Block decode_block(std::uint32_t addr, const std::vector<std::uint32_t>& words,
                   const std::vector<std::uint32_t>& in_place) {
  Block b;
  b.addr = addr;
  b.insns = static_cast<std::uint32_t>(words.size());
  b.end = addr + b.insns * kWord;
  const Code t(addr, words);

  b.halt = b.insns == 1 && t[0].halt;
  b.vector = addr >= kFirstVector && addr < kVectorsEnd;
  recognise_spin(b, words);
  find_stack_writes(b, words);
  for (std::uint32_t i = 0; i < b.insns; ++i) {
    const arm::Timing& x = t[i];
    // After a mode change the banked sp is another mode's until it is set.
    if (x.changes_mode) b.writes_sp = false;
    if (x.writes & (1u << arm::kSp)) b.writes_sp = true;
    // Fixed: a multiply's cost before its multiplier; a conditional instruction (a multiply
    // too) as skipped, which still takes its fetch cycle.
    const bool conditional = x.cond != arm::kAlways;
    b.cycles += conditional ? 1 : x.cycles;
    if (conditional && i + 1 == b.insns && x.writes_pc && x.cycles > 1) {
      b.exit_conditional = true;
      b.exit_extra = static_cast<std::uint8_t>(x.cycles - 1);
    }
    const std::optional<Dynamic> d = t.dynamic(i);
    if (!d || std::binary_search(in_place.begin(), in_place.end(), addr + i * kWord)) continue;
    // Settled from the state as the block starts, or as it ends; code that was not searched
    // for in-place instructions (generated at run time) counts the slowest case.
    if (!t.changes(*d, 0, i)) {
      b.at_entry.push_back(*d);
    } else if (!t.changes(*d, i, b.insns)) {
      b.at_exit.push_back(*d);
    } else {
      b.cycles += d->extra;
      if (d->kind != arm::Multiply::None) b.cycles += arm::multiplier_cycles(0x80000000, d->kind);
    }
  }
  return b;
}

std::vector<InPlace> settled_in_place(std::uint32_t addr, const std::vector<std::uint32_t>& words) {
  const Code t(addr, words);
  std::vector<InPlace> found;
  std::uint32_t start = 0;
  for (std::uint32_t last = 0; last < t.size(); ++last) {
    if (!t[last].writes_pc && last + 1 < t.size()) continue;
    for (std::uint32_t i = start; i <= last; ++i) {
      const std::optional<Dynamic> d = t.dynamic(i);
      if (d && t.changes(*d, start, i) && t.changes(*d, i, last + 1)) {
        found.push_back({addr + i * kWord, *d});
      }
    }
    start = last + 1;
  }
  return found;
}

bool spin_continues(const Block& b, std::uint32_t v, std::uint32_t cpsr) {
  using arm::kFlagsC, arm::kFlagsN, arm::kFlagsV, arm::kFlagsZ;
  std::uint32_t flags = cpsr & (kFlagsC | kFlagsV);
  std::uint32_t result = 0;
  if (b.spin_compare) {
    result = v - b.spin_imm;
    flags = 0;
    if (v >= b.spin_imm) flags |= kFlagsC;
    if (((v ^ b.spin_imm) & (v ^ result)) >> 31) flags |= kFlagsV;
  } else {
    result = v & b.spin_imm;
    if (b.spin_imm_rotated) flags = (flags & ~kFlagsC) | ((b.spin_imm >> 31) ? kFlagsC : 0);
  }
  if (result >> 31) flags |= kFlagsN;
  if (result == 0) flags |= kFlagsZ;
  return arm::condition_passed(b.spin_cond, flags);
}

std::optional<std::uint32_t> transfer_address(std::uint32_t insn, std::uint32_t pc,
                                              const std::uint32_t* r) {
  const std::uint32_t cls = (insn >> 25) & 7;
  const bool halfword = cls == 0 && (insn & 0x90) == 0x90 && (insn & 0x60) != 0;
  if (cls != 2 && cls != 3 && !halfword) return std::nullopt;
  const unsigned n = (insn >> 16) & 0xF;
  const std::uint32_t base = n == arm::kPc ? pc + 8 : r[n];
  std::uint32_t offset = 0;
  if (halfword) {
    offset = (insn & (1u << 22)) ? (((insn >> 4) & 0xF0) | (insn & 0xF)) : r[insn & 0xF];
  } else if (cls == 2) {
    offset = insn & 0xFFF;
  } else {
    const std::uint32_t rm = r[insn & 0xF];
    const unsigned amount = (insn >> 7) & 0x1F;
    switch ((insn >> 5) & 3) {
      case 0:
        offset = rm << amount;
        break;
      case 1:
        offset = amount ? rm >> amount : 0;
        break;
      case 2:
        offset =
            static_cast<std::uint32_t>(static_cast<std::int32_t>(rm) >> (amount ? amount : 31));
        break;
      default:
        offset = amount ? (rm >> amount) | (rm << (32 - amount)) : rm;
        break;
    }
  }
  if (!(insn & (1u << 24))) return base;  // post-indexed
  return (insn & (1u << 23)) ? base + offset : base - offset;
}

}  // namespace emu
