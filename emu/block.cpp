#include "emu/block.h"

#include <algorithm>
#include <bit>

namespace emu {
namespace {

constexpr std::uint32_t kWord = 4;
constexpr std::uint32_t kLineMask = 15;  // the accelerator's 16-byte lines
// Exception vectors after the reset slot: the core never enters them here (interrupts stay
// masked and Unicorn reports the exceptions itself), so getting there is a wild jump.
constexpr std::uint32_t kFirstVector = 0x04, kVectorsEnd = 0x20;

// Recognises `LDR{B,H} rx, [ry, #k]; TST|CMP rx, #imm; B<cond> <the load>`, as the whole
// block or its end.
void recognise_spin(Block& b, const std::vector<arm::Instruction>& code) {
  using arm::Class, arm::Operand;
  if (b.insns < kSpinLength) return;
  const std::uint32_t head = b.insns - kSpinLength;
  const arm::Instruction &load = code[head], &test = code[head + 1], &branch = code[head + 2];
  const bool word_or_byte = load.kind == Class::SingleTransfer;
  const bool halfword = load.kind == Class::HalfwordTransfer && load.size == 2 && !load.sign;
  const bool load_ok = load.cond == arm::kAlways && (word_or_byte || halfword) && load.load &&
                       load.operand == Operand::Immediate && load.pre && !load.writeback;
  if (!load_ok || load.rd == arm::kPc || load.rn == arm::kPc || load.rd == load.rn) return;
  const bool test_ok = test.cond == arm::kAlways && test.kind == Class::DataProcessing &&
                       test.operand == Operand::Immediate && test.set_flags &&
                       (test.opcode == arm::kOpTst || test.opcode == arm::kOpCmp) &&
                       test.rn == load.rd;
  if (!test_ok) return;
  const std::uint32_t load_at = b.addr + head * kWord;
  if (branch.kind != Class::Branch || branch.link || branch.cond == arm::kAlways ||
      branch.target(load_at + 2 * kWord) != load_at) {
    return;
  }
  b.spin = head == 0;
  b.ends_in_spin = head != 0;
  b.spin_compare = test.opcode == arm::kOpCmp;
  b.spin_imm = test.imm;
  b.spin_imm_rotated = test.rotate != 0;
  b.spin_cond = branch.cond;
  // TST leaves V (and C, for an unrotated immediate) as they were: only EQ, NE, MI and PL
  // decide on what the test itself sets.
  constexpr std::uint32_t kEq = 0x0, kNe = 0x1, kMi = 0x4, kPl = 0x5;
  const bool own_flags =
      branch.cond == kEq || branch.cond == kNe || branch.cond == kMi || branch.cond == kPl;
  b.spin_reads_flags = !b.spin_compare && !own_flags;
}

// Follows the stack pointer through the block by the constants that move it (push, pop,
// add and sub of an immediate, write-back of a transfer) and records the lowest byte that a
// store through it writes. Anything else that sets sp ends the search.
void find_stack_writes(Block& b, const std::vector<arm::Instruction>& code) {
  using arm::Class;
  std::int32_t sp = 0;  // relative to the block's start
  auto store = [&](std::int32_t low, std::uint32_t i) {
    if (b.stack_write && low >= b.stack_low) return;
    b.stack_write = true;
    b.stack_low = low;
    b.stack_low_at = b.addr + i * kWord;
  };
  for (std::uint32_t i = 0; i < code.size(); ++i) {
    const arm::Instruction& x = code[i];
    const arm::Timing t = arm::timing(x, b.addr + i * kWord);
    const bool through_sp = x.cond == arm::kAlways && x.rn == arm::kSp;
    std::optional<std::int32_t> moved;  // sp after it, when a constant moves it
    if (through_sp && x.kind == Class::BlockTransfer) {
      const auto bytes =
          static_cast<std::int32_t>(kWord * static_cast<unsigned>(std::popcount(x.registers)));
      if (!x.load) store(x.up ? sp + (x.pre ? 4 : 0) : sp - bytes + (x.pre ? 0 : 4), i);
      const bool loads_sp = x.load && (x.registers & (1u << arm::kSp));
      if (!loads_sp) moved = x.writeback ? sp + (x.up ? bytes : -bytes) : sp;
    } else if (through_sp && x.immediate_transfer()) {
      const auto offset = static_cast<std::int32_t>(x.imm);
      const std::int32_t after = sp + (x.up ? offset : -offset);
      if (!x.load) store(x.pre ? after : sp, i);
      const bool loads_sp = x.load && x.rd == arm::kSp;
      if (!loads_sp) moved = x.writeback ? after : sp;
    } else if (through_sp && x.kind == Class::DataProcessing &&
               x.operand == arm::Operand::Immediate && x.rd == arm::kSp) {
      const auto imm = static_cast<std::int32_t>(x.imm);
      if (x.opcode == arm::kOpSub) moved = sp - imm;
      if (x.opcode == arm::kOpAdd) moved = sp + imm;
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
  Code(std::uint32_t addr, const std::vector<std::uint32_t>& words)
      : insns_(words.size()), t_(words.size()) {
    for (std::size_t i = 0; i < words.size(); ++i) {
      insns_[i] = arm::decode_instruction(words[i]);
      t_[i] = arm::timing(insns_[i], addr + static_cast<std::uint32_t>(i) * kWord);
    }
  }
  const std::vector<arm::Instruction>& instructions() const { return insns_; }
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
  std::vector<arm::Instruction> insns_;
  std::vector<arm::Timing> t_;
};

// The block's loads and stores, and which of them no later one could be mistaken for.
void find_transfers(Block& b, const Code& t) {
  for (std::uint32_t i = 0; i < t.size(); ++i) {
    if (!t[i].memory) continue;
    b.transfers.push_back(
        {i, t.instructions()[i], t[i].literal ? std::optional(t[i].literal_addr) : std::nullopt});
  }
  const auto alike = [](const arm::Instruction& x, const arm::Instruction& y) {
    const bool swap = x.kind == arm::Class::Swap || y.kind == arm::Class::Swap;
    const bool block = x.kind == arm::Class::BlockTransfer || y.kind == arm::Class::BlockTransfer;
    return swap || (x.load == y.load && (block || x.size == y.size));
  };
  for (std::size_t c = 0; c < b.transfers.size(); ++c) {
    for (std::size_t d = c + 1; d < b.transfers.size(); ++d) {
      if (alike(b.transfers[c].insn, b.transfers[d].insn)) b.transfers[c].last_of_its_kind = false;
    }
  }
}

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
  recognise_spin(b, t.instructions());
  find_transfers(b, t);
  find_stack_writes(b, t.instructions());
  b.starts.resize(b.insns);
  for (std::uint32_t i = 0; i < b.insns; ++i) {
    const arm::Timing& x = t[i];
    b.starts[i] = b.cycles;
    // Its first cycle fetches the word 8 bytes on.
    if (((addr + (i + 2) * kWord) & kLineMask) == 0) b.marks.push_back({i, Mark::Kind::NewLine, 0});
    // After a mode change the banked sp is another mode's until it is set.
    if (x.changes_mode) b.writes_sp = false;
    if (x.writes & (1u << arm::kSp)) b.writes_sp = true;
    // Fixed: a multiply's cost before its multiplier; a conditional instruction (a multiply
    // too) as skipped, which still takes its fetch cycle.
    const bool conditional = x.cond != arm::kAlways;
    b.cycles += conditional ? 1 : x.cycles;
    if (i + 1 == b.insns) {
      // Back at the block's end after it ran: a branch elsewhere was not taken, anything else
      // may have gone there on purpose.
      const arm::Instruction& last = t.instructions()[i];
      const bool elsewhere =
          last.kind == arm::Class::Branch && last.target(addr + i * kWord) != b.end;
      b.last_writes_pc = x.writes_pc && !(elsewhere && x.cond != arm::kAlways);
      b.last_cond = x.cond;
    }
    if (conditional && i + 1 == b.insns && x.writes_pc && x.cycles > 1) {
      b.exit_conditional = true;
      b.exit_extra = static_cast<std::uint8_t>(x.cycles - 1);
    }
    const std::optional<Dynamic> d = t.dynamic(i);
    if (!d || std::binary_search(in_place.begin(), in_place.end(), addr + i * kWord)) continue;
    // Settled from the state as the block starts, or as it ends; code that was not searched
    // for in-place instructions (generated at run time) counts the slowest case.
    if (!t.changes(*d, 0, i)) {
      b.marks.push_back({i, Mark::Kind::AtEntry, static_cast<std::uint32_t>(b.at_entry.size())});
      b.at_entry.push_back(*d);
    } else if (!t.changes(*d, i, b.insns)) {
      b.marks.push_back({i, Mark::Kind::AtExit, static_cast<std::uint32_t>(b.at_exit.size())});
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

}  // namespace emu
