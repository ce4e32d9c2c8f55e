// The profile's cost attribution: each block's clocks spread over its instructions, waits put
// at the instruction that made the access, and calls followed for the inclusive costs.
#include <algorithm>

#include "emu/arm_timing.h"
#include "emu/profile.h"

namespace emu {
namespace {

constexpr std::uint32_t kWord = 4;

std::size_t index(Event e) {
  return static_cast<std::size_t>(e);
}

void add(Costs& to, const Costs& c) {
  for (std::size_t i = 0; i < kEvents; ++i) to[i] += c[i];
}

// MOV lr, pc: the return address of an indirect call (BX or LDR pc next).
bool saves_return_address(const arm::Instruction& i) {
  return i.kind == arm::Class::DataProcessing && i.opcode == arm::kOpMov && !i.set_flags &&
         i.rn == 0 && i.rd == arm::kLr && i.operand == arm::Operand::Register &&
         i.shift == arm::Shift::Lsl && i.shift_amount == 0 && i.rm == arm::kPc;
}

}  // namespace

Profile::BlockCosts& Profile::costs_of(const Block& b) {
  // Blocks are found again through a small cache first: a hot loop runs the same few.
  auto& slot = recent_[(reinterpret_cast<std::uintptr_t>(&b) / sizeof(Block)) % recent_.size()];
  if (slot.first == &b) return *slot.second;
  auto [it, added] = blocks_.try_emplace(&b);
  BlockCosts& c = it->second;
  slot = {&b, &c};
  if (!added) return c;
  c.addr = b.addr;
  c.extra.resize(b.insns);
  std::vector<arm::Instruction> code(b.insns);
  for (std::uint32_t i = 0; i < b.insns; ++i) {
    const std::uint32_t at = b.addr + i * kWord;
    code[i] = arm::decode_instruction(fetch_(at));
    const arm::Timing t = arm::timing(code[i], at);
    // A skipped instruction takes one clock; what an executed one takes beyond is settled.
    c.weights.push_back(t.cond == arm::kAlways ? t.cycles : 1);
    c.weight_sum += c.weights.back();
  }
  const arm::Instruction& last = code.back();
  const arm::Instruction before =
      b.insns > 1 ? code[b.insns - 2] : arm::decode_instruction(fetch_(b.addr - kWord));
  const arm::Timing t = arm::timing(last, b.end - kWord);
  const bool branch = last.kind == arm::Class::Branch;
  if ((branch && last.link) || (t.writes_pc && saves_return_address(before))) {
    c.flow = Flow::Call;
  } else if (t.writes_pc && !branch) {
    c.flow = Flow::Return;
  }
  return c;
}

void Profile::add_to_last(std::int64_t clocks) {
  current_->on_last += clocks;
  totals_[index(Event::Cycles)] += static_cast<std::uint64_t>(clocks);
}

void Profile::enter(const Block& b, std::uint64_t flash_wait) {
  current_ = &costs_of(b);
  current_end_ = b.end;
  current_->runs += 1;
  totals_[index(Event::Instructions)] += b.insns;
  totals_[index(Event::Cycles)] += current_->weight_sum;
  add_to_last(static_cast<std::int64_t>(b.cycles) - current_->weight_sum);
  if (flash_wait != 0) add_at(b.addr, Event::FlashWait, flash_wait);
}

void Profile::leave(std::uint64_t exit, std::uint32_t next) {
  if (!current_) return;
  add_to_last(static_cast<std::int64_t>(exit));
  const std::uint32_t end = current_end_;
  if (current_->flow == Flow::Call && next != end) {
    stack_.push_back({end - kWord, next, end, totals_});
  } else if (current_->flow == Flow::Return) {
    // Back to a caller on the stack; frames above it were left without a return (tail calls).
    auto it = std::find_if(stack_.rbegin(), stack_.rend(),
                           [next](const Frame& f) { return f.ret == next; });
    for (auto n = it == stack_.rend() ? 0 : it - stack_.rbegin() + 1; n > 0; --n) {
      close(stack_.back());
      stack_.pop_back();
    }
  }
  current_ = nullptr;
}

void Profile::add_at(std::uint32_t at, Event kind, std::uint64_t clocks) {
  const bool inside = current_ && at >= current_->addr && at < current_end_;
  Costs* c = inside ? &current_->extra[(at - current_->addr) / kWord] : &stray_[at];
  (*c)[index(Event::Cycles)] += clocks;
  totals_[index(Event::Cycles)] += clocks;
  if (kind == Event::Cycles) return;
  (*c)[index(kind)] += clocks;
  totals_[index(kind)] += clocks;
}

void Profile::settled_in_block(std::uint32_t index, std::uint64_t clocks) {
  if (clocks != 0) settled(current_ ? current_->addr + index * kWord : 0, clocks);
}

void Profile::repeat(std::uint64_t passes, std::uint64_t pass, std::uint64_t apb_wait) {
  if (!current_ || passes == 0) return;
  current_->runs += passes;
  totals_[index(Event::Instructions)] += passes * current_->weights.size();
  totals_[index(Event::Cycles)] += passes * current_->weight_sum;
  add_to_last(static_cast<std::int64_t>(passes * (pass - apb_wait)) -
              static_cast<std::int64_t>(passes * current_->weight_sum));
  if (apb_wait != 0) add_at(current_->addr, Event::ApbWait, passes * apb_wait);
}

void Profile::end_run() {
  while (!stack_.empty()) {
    close(stack_.back());
    stack_.pop_back();
  }
  current_ = nullptr;
}

void Profile::close(const Frame& f) {
  Edge& e = edges_[{f.site, f.callee}];
  e.count += 1;
  for (std::size_t i = 0; i < kEvents; ++i) e.inclusive[i] += totals_[i] - f.at_call[i];
}

std::map<std::uint32_t, Costs> Profile::self_costs() const {
  std::map<std::uint32_t, Costs> self = stray_;
  for (const auto& [block, c] : blocks_) {
    for (std::size_t i = 0; i < c.weights.size(); ++i) {
      Costs& s = self[c.addr + static_cast<std::uint32_t>(i) * kWord];
      std::uint64_t cycles = c.runs * c.weights[i];
      if (i + 1 == c.weights.size()) cycles += static_cast<std::uint64_t>(c.on_last);
      s[index(Event::Cycles)] += cycles;
      s[index(Event::Instructions)] += c.runs;
      add(s, c.extra[i]);
    }
  }
  return self;
}

}  // namespace emu
