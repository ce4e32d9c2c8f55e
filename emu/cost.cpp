// What each translated block costs in processor clocks: decoded once, then settled as it runs
// from the flags and registers, with the accelerator's fetch waits for code in flash.
#include <algorithm>

#include "emu/arm_timing.h"
#include "emulator_impl.h"

namespace emu {

Block Emulator::Impl::decode(std::uint32_t addr, std::uint32_t size) const {
  const std::uint32_t insns = std::max(size, kWord) / kWord;
  std::vector<std::uint32_t> words(insns);
  if (uc_mem_read(uc, addr, words.data(), insns * kWord) != UC_ERR_OK) words.assign(insns, 0);
  Block b = decode_block(addr, words, blocks.in_place);
  b.in_flash = addr < chip::FLASH_BASE + chip::FLASH_SIZE;
  if (!b.in_flash) {  // code in RAM is fetched without waits
    std::erase_if(b.marks, [](const Mark& m) { return m.kind == Mark::Kind::NewLine; });
  }
  for (const Range& r : layout.serial) {
    if (r.contains(addr)) b.activity = Activity::Serial;
  }
  return b;
}

Block& Emulator::Impl::block(std::uint32_t addr, std::uint32_t size) {
  Block** slot = nullptr;
  if (addr < chip::FLASH_SIZE) {
    slot = &blocks.in_flash[addr / kWord];
  } else if (chip::in_region(addr, chip::RAM_BASE, chip::RAM_SIZE)) {
    slot = &blocks.in_ram[(addr - chip::RAM_BASE) / kWord];
  }
  const std::uint32_t end = addr + std::max(size, kWord);
  // Unicorn may cut a block short (at a run's stop address, say): each length is kept once.
  for (Block* b = slot ? *slot : nullptr; b; b = b->other_length) {
    if (b->end == end) return *b;
  }
  Block& b = blocks.all.emplace_back(decode(addr, size));
  if (slot) {
    b.other_length = *slot;
    *slot = &b;
  }
  return b;
}

std::uint64_t Emulator::Impl::settle(const Dynamic& d, std::uint32_t cpsr) const {
  if (!arm::condition_passed(d.cond, cpsr)) return 0;
  if (d.kind == arm::Multiply::None) return d.extra;
  return d.extra + arm::multiplier_cycles(reg(kCoreRegister[d.rs]), d.kind);
}

// Hooks the instructions of `code` that no block's start or end can settle. Only those
// addresses carry a hook, so the rest of the code runs at full speed.
void Emulator::Impl::settle_in_place(const Range& code) {
  const std::uint32_t begin = (code.begin + kWord - 1) & ~(kWord - 1);
  const std::uint32_t end = code.end & ~(kWord - 1);
  if (end <= begin) return;
  std::vector<std::uint32_t> words((end - begin) / kWord);
  if (uc_mem_read(uc, begin, words.data(), end - begin) != UC_ERR_OK) return;
  for (const InPlace& p : settled_in_place(begin, words)) {
    InPlaceHook& h = blocks.in_place_hooks.emplace_back(InPlaceHook{this, p.cost});
    uc_hook id;
    check(uc_hook_add(uc, &id, UC_HOOK_CODE, reinterpret_cast<void*>(hook_in_place), &h, p.addr,
                      p.addr),
          "in-place hook");
    blocks.in_place_ids.push_back(id);
    blocks.in_place.push_back(p.addr);
  }
  std::sort(blocks.in_place.begin(), blocks.in_place.end());
}

void Emulator::Impl::hook_in_place(uc_engine*, std::uint64_t addr, std::uint32_t, void* hook) {
  auto* h = static_cast<InPlaceHook*>(hook);
  Impl& self = *h->self;
  // Going on from a breakpoint here: counted before the debugger stopped.
  if (self.debug.pass_break == addr) return;
  self.shielded([&] {
    const std::uint64_t clocks = self.settle(h->cost, self.reg(UC_ARM_REG_CPSR));
    if (self.current) {
      const Block& b = *self.current;
      const auto i = static_cast<std::uint32_t>((addr - b.addr) / kWord);
      if (addr >= b.addr && addr < b.end) {
        self.catch_up(i);
        self.running.in_place_at = i;
        self.running.in_place = clocks;
      }
    }
    self.delay(clocks);
    if (self.profile) self.profile->settled(static_cast<std::uint32_t>(addr), clocks);
  });
}

void Emulator::Impl::take_marks(std::uint32_t i) {
  const Block& b = *current;
  const std::size_t n = b.marks.size();
  std::optional<std::uint32_t> cpsr;  // read once, and only for a settled part
  for (; running.marks < n; ++running.marks) {
    const Mark& m = b.marks[running.marks];
    if (m.index > i || (m.index == i && m.kind != Mark::Kind::NewLine)) return;
    if (m.kind == Mark::Kind::NewLine) {
      if (flash.mam.off()) continue;  // counted for every fetch as the block began
      const std::uint32_t word = b.addr + (m.index + 2) * kWord;
      const unsigned stall = flash.mam.fetch(word, true, clock_of(m.index));
      if (stall == 0) continue;
      delay(stall);
      if (profile) profile->fetch_wait(b.addr + m.index * kWord, stall);
    } else if (m.kind == Mark::Kind::AtEntry) {
      running.late += running.entry[m.item];
    } else {
      const Dynamic& d = b.at_exit[m.item];
      if (!cpsr) cpsr = reg(UC_ARM_REG_CPSR);
      const std::uint64_t c = settle(d, *cpsr);
      running.exit += c;
      running.late += c;
      if (profile) profile->settled_in_block(d.at, c);
    }
  }
}

// Settles what the block that just ran left open; `next` is where execution went on.
bool Emulator::Impl::finish_block(std::uint32_t next) {
  Block& b = *current;
  catch_up(b.insns);
  // The flags the block leaves are those its last instruction, the branch, was decided by.
  const bool jumped =
      next != b.end ||
      (b.last_writes_pc &&
       (b.last_cond == arm::kAlways || arm::condition_passed(b.last_cond, reg(UC_ARM_REG_CPSR))));
  const std::uint64_t exit = b.exit_conditional && jumped ? b.exit_extra : 0;
  charge(exit + running.exit, b.activity);
  if (profile) profile->leave(exit, next);
  if (b.writes_sp) check_sp();
  return !jumped;
}

// The block's fixed cost, the accelerator's answer to the fetches of its first words after a
// change of flow (made in the branch's last two cycles), and what its start settles.
void Emulator::Impl::begin_block(Block& b, bool sequential) {
  const std::uint64_t entry = counters.cycles;
  std::uint64_t stall = 0;
  if (b.in_flash && flash.mam.off()) {
    stall = std::uint64_t{flash.mam.wait()} * (b.insns + (sequential ? 0 : 2));
  } else if (b.in_flash && !sequential) {
    const std::uint64_t fetched = entry >= 2 ? entry - 2 : 0;
    stall = flash.mam.fetch(b.addr, false, fetched);
    if (((b.addr + kWord) >> Mam::kLineShift) != (b.addr >> Mam::kLineShift)) {
      stall += flash.mam.fetch(b.addr + kWord, true, fetched + 1 + stall);
    }
  }
  current = &b;
  running.begun = entry;
  running.start = entry + stall;
  running.late = 0;
  running.marks = 0;
  running.exit = 0;
  running.in_place_at = 0xFFFFFFFF;
  running.transfer = 0;
  running.words = 0;
  running.entry.clear();
  if (profile) profile->enter(b, stall);  // before the settled clocks, which it places
  std::uint64_t clocks = b.cycles + stall;
  if (!b.at_entry.empty()) {
    const std::uint32_t cpsr = reg(UC_ARM_REG_CPSR);
    for (const Dynamic& d : b.at_entry) {
      const std::uint64_t c = settle(d, cpsr);
      running.entry.push_back(c);
      clocks += c;
      if (profile) profile->settled_in_block(d.at, c);
    }
  }
  charge(clocks, b.activity);
  counters.instructions += b.insns;
}

void Emulator::Impl::on_block(std::uint32_t addr, std::uint32_t size) {
  if (debug.charged_at) {
    // The block a debugger stopped in goes on from where it stopped: counted already.
    const bool resumed = *debug.charged_at == addr && current;
    debug.charged_at.reset();
    if (resumed) return;
  }
  const bool sequential = current && finish_block(addr);
  const Block* before = current;
  Block& b = block(addr, size);
  begin_block(b, sequential);
  if (b.stack_write) check_stack_write(b);
  if (b.vector) {
    fault("exception vector " + sim::hex_word(addr) + " entered" +
              (before ? " from the block at " + where(before->addr) : std::string()),
          addr, Signal::Segv, addr);
  }
  if (b.halt) {
    uc_emu_stop(uc);
  } else if (debug.range && !debug.range->contains(addr)) {
    leave_range(addr);
  }
  if (counters.instructions >= checks.watchdog_deadline) check_watchdog();
  if (counters.cycles >= checks.time_limit_at) check_time_limit();
  // A signal ends the run here, in a loop that touches no peripheral too.
  if (interrupted.load(std::memory_order_relaxed)) uc_emu_stop(uc);
  if (debug.server) poll_debugger(addr);
}

void Emulator::Impl::hook_block(uc_engine*, std::uint64_t addr, std::uint32_t size, void* self) {
  Impl& m = *static_cast<Impl*>(self);
  m.shielded([&] { m.on_block(static_cast<std::uint32_t>(addr), size); });
}

}  // namespace emu
