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

std::uint64_t Emulator::Impl::settle(const std::vector<Dynamic>& items) const {
  std::uint64_t clocks = 0;
  const std::uint32_t cpsr = reg(UC_ARM_REG_CPSR);
  for (const Dynamic& d : items) {
    const std::uint64_t c = settle(d, cpsr);
    clocks += c;
    if (profile) profile->settled_in_block(d.at, c);
  }
  return clocks;
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
    blocks.in_place.push_back(p.addr);
  }
  std::sort(blocks.in_place.begin(), blocks.in_place.end());
}

void Emulator::Impl::hook_in_place(uc_engine*, std::uint64_t addr, std::uint32_t, void* hook) {
  auto* h = static_cast<InPlaceHook*>(hook);
  Impl& self = *h->self;
  // Going on from a breakpoint here: counted before the debugger stopped.
  if (self.debug.pass_break == addr) return;
  const std::uint64_t clocks = self.settle(h->cost, self.reg(UC_ARM_REG_CPSR));
  self.charge(clocks, self.activity());
  if (self.profile) self.profile->settled(static_cast<std::uint32_t>(addr), clocks);
}

// Settles what the block that just ran left open; `next` is where execution went on.
void Emulator::Impl::finish_block(std::uint32_t next) {
  Block& b = *current;
  // The flags the block leaves are those its last instruction, the branch, was decided by.
  const bool taken =
      next != b.end || (b.exit_to_end && arm::condition_passed(b.exit_cond, reg(UC_ARM_REG_CPSR)));
  const std::uint64_t exit = b.exit_conditional && taken ? b.exit_extra : 0;
  const std::uint64_t clocks = exit + (b.at_exit.empty() ? 0 : settle(b.at_exit));
  charge(clocks, b.activity);
  if (profile) profile->leave(exit, next);
  if (b.writes_sp) check_sp();
}

void Emulator::Impl::on_block(std::uint32_t addr, std::uint32_t size) {
  if (debug.charged_at) {
    // The block a debugger stopped in goes on from where it stopped: counted already.
    const bool resumed = *debug.charged_at == addr && current;
    debug.charged_at.reset();
    if (resumed) return;
  }
  const bool sequential = current && current->end == addr;
  if (current) finish_block(addr);
  Block& b = block(addr, size);
  const std::uint64_t flash_wait = b.in_flash ? flash.mam.fetch(b.addr, b.end, sequential) : 0;
  if (profile) profile->enter(b, flash_wait);  // before the settled clocks, which it places
  std::uint64_t clocks = b.cycles + flash_wait;
  if (!b.at_entry.empty()) clocks += settle(b.at_entry);
  if (b.stack_write) check_stack_write(b);
  charge(clocks, b.activity);
  counters.instructions += b.insns;
  if (b.vector) {
    fault("exception vector " + sim::hex_word(addr) + " entered" +
              (current ? " from the block at " + where(current->addr) : std::string()),
          addr, Signal::Segv, addr);
  }
  current = &b;
  if (b.halt) uc_emu_stop(uc);
  if (counters.instructions >= checks.watchdog_deadline) check_watchdog();
  if (debug.server) poll_debugger();
}

void Emulator::Impl::hook_block(uc_engine*, std::uint64_t addr, std::uint32_t size, void* self) {
  static_cast<Impl*>(self)->on_block(static_cast<std::uint32_t>(addr), size);
}

}  // namespace emu
