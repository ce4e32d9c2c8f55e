// A debugger on the emulated core: GDB's breakpoints as code hooks on single addresses and its
// watchpoints as memory hooks on the watched bytes, so the program runs at full speed between
// stops; board time moves only while the program runs.
#include <algorithm>
#include <cstring>

#include "emulator_impl.h"

namespace emu {
namespace {

// Blocks between looks at the debugger's socket for a Ctrl-C: often enough to answer at once,
// rarely enough to cost nothing.
constexpr unsigned kPollBlocks = 1u << 14;

bool overlaps(std::uint32_t a, std::uint32_t a_len, std::uint32_t b, std::uint32_t b_len) {
  return a < b + b_len && b < a + a_len;
}

}  // namespace

// What GDB reads and changes: registers, flash, RAM and the board's registers (a read goes
// through the board model, with the register's side effects), and the points it sets.
class Emulator::Impl::Target final : public GdbTarget {
 public:
  explicit Target(Impl& m) : m_(m) {}

  std::array<std::uint32_t, kRegisters> registers() override {
    std::array<std::uint32_t, kRegisters> r{};
    for (unsigned i = 0; i < emu::kRegisters; ++i) r[i] = m_.reg(kCoreRegister[i]);
    r[kCpsr] = m_.reg(UC_ARM_REG_CPSR);
    return r;
  }

  void set_register(unsigned n, std::uint32_t value) override {
    m_.set_reg(n == kCpsr ? UC_ARM_REG_CPSR : kCoreRegister[n], value);
  }

  bool read_memory(std::uint32_t addr, std::span<std::uint8_t> out) override {
    for (std::size_t i = 0; i < out.size();) {
      const std::uint32_t a = addr + static_cast<std::uint32_t>(i);
      if (a < chip::FLASH_SIZE) {
        out[i++] = m_.flash.bytes[a];
      } else if (chip::in_region(a, chip::RAM_BASE, chip::RAM_SIZE)) {
        if (uc_mem_read(m_.uc, a, &out[i], 1) != UC_ERR_OK) return false;
        ++i;
      } else if (sim::Board::is_peripheral(a)) {
        const std::uint32_t word = a & ~(kWord - 1);
        const unsigned width = sim::Board::register_width(word);
        const std::uint32_t v = width != 0 ? m_.board.read(word, width) : 0;
        for (std::uint32_t at = a - word; at < kWord && i < out.size(); ++at, ++i) {
          out[i] = static_cast<std::uint8_t>(v >> (8 * at));
        }
      } else {
        return false;
      }
    }
    return true;
  }

  bool write_memory(std::uint32_t addr, std::span<const std::uint8_t> in) override {
    const auto size = static_cast<std::uint32_t>(in.size());
    if (chip::in_region(addr, chip::RAM_BASE, chip::RAM_SIZE) &&
        chip::in_region(addr + size - 1, chip::RAM_BASE, chip::RAM_SIZE)) {
      return uc_mem_write(m_.uc, addr, in.data(), in.size()) == UC_ERR_OK;
    }
    if (addr < chip::FLASH_SIZE && addr + size <= chip::FLASH_SIZE) return write_flash(addr, in);
    return write_registers(addr, in);
  }

  bool set_breakpoint(std::uint32_t addr, bool on) override {
    auto& points = m_.debug.breakpoints;
    if (!on) {
      auto it = points.find(addr);
      if (it == points.end()) return true;
      uc_hook_del(m_.uc, it->second);
      points.erase(it);
      m_.retranslate(addr);
      return true;
    }
    if (points.contains(addr)) return true;
    uc_hook h;
    if (uc_hook_add(m_.uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(hook_breakpoint), &m_, addr,
                    addr) != UC_ERR_OK) {
      return false;
    }
    points[addr] = h;
    m_.retranslate(addr);
    return true;
  }

  bool set_watchpoint(WatchKind kind, std::uint32_t addr, std::uint32_t length, bool on) override {
    auto& w = m_.debug.watches;
    auto same = [&](const Debug::Watch& x) {
      return x.kind == kind && x.addr == addr && x.length == length;
    };
    if (!on) {
      w.erase(std::remove_if(w.begin(), w.end(), same), w.end());
    } else if (std::none_of(w.begin(), w.end(), same)) {
      if (length == 0) return false;
      w.push_back({kind, addr, length});
    }
    rehook_watches();
    return true;
  }

  bool erase_flash(std::uint32_t addr, std::uint32_t length) override {
    return m_.erase_flash(addr, length);
  }
  bool program_flash(std::uint32_t addr, std::span<const std::uint8_t> data) override {
    return m_.program_flash(addr, data);
  }
  std::vector<std::string> flash_done() override { return m_.flash_done(); }
  bool reset(std::vector<std::string>& said) override { return m_.reset_chip(said); }
  std::uint64_t cycles() override { return m_.clocks_at_stop() - m_.loading.stopwatch; }
  void zero_cycles() override { m_.loading.stopwatch = m_.clocks_at_stop(); }

 private:
  // Code the debugger patches is decoded again when it next runs.
  bool write_flash(std::uint32_t addr, std::span<const std::uint8_t> in) {
    std::copy(in.begin(), in.end(), m_.flash.bytes.begin() + addr);
    // Code pages are Unicorn's memory; the others read the bytes, and their write callback
    // lets the debugger's write through.
    m_.debug.patching = true;
    uc_mem_write(m_.uc, addr, in.data(), in.size());
    m_.debug.patching = false;
    uc_ctl_remove_cache(m_.uc, addr, addr + in.size());
    // Blocks are decoded again, but the old ones stay allocated: a profile keys its costs by
    // their addresses, which a new block must not take over.
    m_.current = nullptr;
    std::fill(m_.blocks.in_flash.begin(), m_.blocks.in_flash.end(), nullptr);
    std::fill(m_.blocks.in_ram.begin(), m_.blocks.in_ram.end(), nullptr);
    return true;
  }

  // Whole registers only, each with its own width.
  bool write_registers(std::uint32_t addr, std::span<const std::uint8_t> in) {
    for (std::size_t i = 0; i < in.size();) {
      const std::uint32_t a = addr + static_cast<std::uint32_t>(i);
      const unsigned width = sim::Board::register_width(a);
      const std::size_t bytes = width / 8;
      if (width == 0 || i + bytes > in.size()) return false;
      std::uint32_t v = 0;
      for (std::size_t b = 0; b < bytes; ++b) v |= std::uint32_t{in[i + b]} << (8 * b);
      m_.board.write(a, width, v);
      i += bytes;
    }
    return true;
  }

  // A hook for each watch; watch_access sorts out which watch. A hook sees an access by the
  // address it starts at: each begins at its watch's word, so a word store over a watched byte
  // further in stops too. Unicorn looks for memory hooks at each access, not when it translates
  // (every access takes the slow path already for the unaligned hook), so no code is
  // translated again.
  void rehook_watches() {
    for (uc_hook h : m_.debug.watch_hooks) uc_hook_del(m_.uc, h);
    m_.debug.watch_hooks.clear();
    for (const Debug::Watch& w : m_.debug.watches) {
      const int type = w.kind == WatchKind::Write  ? UC_HOOK_MEM_WRITE
                       : w.kind == WatchKind::Read ? UC_HOOK_MEM_READ
                                                   : UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE;
      uc_hook h;
      if (uc_hook_add(m_.uc, &h, type, reinterpret_cast<void*>(hook_watch), &m_,
                      w.addr & ~(kWord - 1), w.addr + w.length - 1) == UC_ERR_OK) {
        m_.debug.watch_hooks.push_back(h);
      }
    }
  }

  Impl& m_;
};

void Emulator::Impl::attach_debugger(int port) {
  debug.server = std::make_unique<GdbServer>(port);
  debug.stop_first = true;  // before the first instruction
}

void Emulator::Impl::hook_breakpoint(uc_engine*, std::uint64_t addr, std::uint32_t, void* s) {
  Impl& self = *static_cast<Impl*>(s);
  const auto a = static_cast<std::uint32_t>(addr);
  const bool pass = self.debug.pass_break == a;
  self.debug.pass_break.reset();
  if (pass || !self.debug.server) return;
  self.debug.hit = StopReason{.kind = StopReason::SoftwareBreak};
  self.debug.charged_at = a;
  uc_emu_stop(self.uc);
}

void Emulator::Impl::hook_watch(uc_engine*, uc_mem_type type, std::uint64_t addr, int size,
                                std::int64_t, void* s) {
  Impl& self = *static_cast<Impl*>(s);
  self.shielded([&] {
    self.watch_access(static_cast<std::uint32_t>(addr), static_cast<unsigned>(size),
                      type == UC_MEM_WRITE);
  });
}

// A watched access stops the core right after the access itself, before the instruction
// writes its registers back: with the store undone (RAM) or the access not made at all (the
// callers skip a peripheral's or flash's), the instruction runs again from its start when the
// program goes on, as GDB expects of ARM watchpoints.
bool Emulator::Impl::watch_access(std::uint32_t addr, unsigned size, bool write) {
  if (!debug.server || debug.hit) return false;
  for (const Debug::Watch& w : debug.watches) {
    const bool kind_matches = w.kind == WatchKind::Access || (w.kind == WatchKind::Write) == write;
    if (!kind_matches || !overlaps(addr, size, w.addr, w.length)) continue;
    debug.hit = StopReason{.kind = StopReason::Watch, .watch = w.kind, .address = w.addr};
    debug.accessed = addr;
    debug.access = {size, write};
    debug.undo.assign(write ? size : 0, 0);
    if (write && uc_mem_read(uc, addr, debug.undo.data(), size) != UC_ERR_OK) debug.undo.clear();
    uc_emu_stop(uc);
    return true;
  }
  return false;
}

void Emulator::Impl::poll_debugger(std::uint32_t block) {
  if (++debug.blocks_since_poll < kPollBlocks) return;
  debug.blocks_since_poll = 0;
  if (debug.hit || !debug.server->interrupted()) return;
  debug.hit = StopReason{.signal = Signal::Interrupt};
  debug.charged_at = block;
  uc_emu_stop(uc);
}

// Steps run at full speed while the pc stays in their range: the core stops at the first block
// that begins outside it (on_block) or, within a block, at the range's end (this hook).
void Emulator::Impl::hook_range_end(uc_engine*, std::uint64_t addr, std::uint32_t, void* s) {
  Impl& self = *static_cast<Impl*>(s);
  self.shielded([&] { self.leave_range(static_cast<std::uint32_t>(addr)); });
}

void Emulator::Impl::leave_range(std::uint32_t at) {
  if (debug.hit) return;
  debug.hit = StopReason{};
  debug.charged_at = at;  // its block is counted from its start: it goes on from here
  uc_emu_stop(uc);
}

// Unicorn's own instruction count would do for a single step, but the hook it adds on every
// instruction makes it empty the whole translation buffer when the count ends; a step is a
// range of one instruction instead.
void Emulator::Impl::begin_step(std::uint32_t pc) {
  debug.range = debug.step_range && debug.step_range->contains(pc) ? *debug.step_range
                                                                   : Range{pc, pc + kWord};
  uc_hook h;
  const std::uint32_t end = debug.range->end;
  if (uc_hook_add(uc, &h, UC_HOOK_CODE, reinterpret_cast<void*>(hook_range_end), this, end, end) ==
      UC_ERR_OK) {
    debug.range_end = h;
  }
  retranslate(end);
}

void Emulator::Impl::end_step() {
  if (debug.range_end) uc_hook_del(uc, *debug.range_end);
  debug.range_end.reset();
  retranslate(debug.range->end);
  debug.range.reset();
}

void Emulator::Impl::stop_for_debugger(const StopReason& why) {
  sync_board();  // a peripheral the debugger reads answers at the time the program stopped
  Target target(*this);
  const Resume r = debug.server->stopped(why, target);
  debug.resume_from = reg(UC_ARM_REG_PC);
  debug.step = r == Resume::Step;
  const auto asked = debug.server->step_range();
  debug.step_range.reset();
  if (asked) debug.step_range = Range{asked->begin, asked->end};
  debug.killed = r == Resume::Kill;
  if (debug.killed) board.request_stop();
  if (r == Resume::Detach || r == Resume::Kill) end_debugging(r == Resume::Detach);
}

// The program goes on as it would have without the debugger, or ends.
void Emulator::Impl::end_debugging(bool goes_on) {
  if (!debug.server) return;
  // Code that carries a breakpoint's hook is translated again, only for a program that runs on
  // at full speed, not one at its end or killed.
  for (auto& [addr, h] : debug.breakpoints) {
    uc_hook_del(uc, h);
    if (goes_on) retranslate(addr);
  }
  debug.breakpoints.clear();
  for (uc_hook h : debug.watch_hooks) uc_hook_del(uc, h);
  debug.watch_hooks.clear();
  debug.watches.clear();
  debug.server.reset();
  debug.step = false;
}

// Runs from begin until the core reaches `until` (a call's return) or stops for good, stopping
// for the debugger on the way as it asks.
uc_err Emulator::Impl::run_debugged(std::uint32_t begin, std::uint32_t until) {
  std::uint32_t pc = begin;
  debug.resume_from.reset();
  while (true) {
    if (debug.server && debug.stop_first) {
      debug.stop_first = false;
      set_reg(UC_ARM_REG_PC, pc);
      stop_for_debugger({});
      pc = reg(UC_ARM_REG_PC);
    }
    if (debug.killed) return UC_ERR_OK;  // the run ends here, not at its next LCD word
    // Going on from a breakpoint means past it; a call that begins at one stops there.
    if (debug.resume_from == pc && debug.breakpoints.contains(pc)) debug.pass_break = pc;
    debug.resume_from.reset();
    const bool step = debug.server && debug.step;
    debug.hit.reset();
    if (step) begin_step(pc);
    const uc_err err = uc_emu_start(uc, pc, until, 0, 0);
    if (step) end_step();
    if (err != UC_ERR_OK || checks.faulted || escaped) return err;
    pc = reg(UC_ARM_REG_PC);
    if (debug.hit && debug.hit->kind == StopReason::Watch) {
      if (!debug.undo.empty())
        uc_mem_write(uc, debug.accessed, debug.undo.data(), debug.undo.size());
      const std::uint32_t at = locate(debug.accessed, debug.access);
      if (current) debug.charged_at = at;
      set_reg(UC_ARM_REG_PC, at);
      stop_for_debugger(*debug.hit);
      pc = reg(UC_ARM_REG_PC);
      continue;
    }
    if (debug.hit) {
      // Stopped from a hook before the instruction there ran; the core's pc, read after the
      // stop, may be one a branch into the block left behind (a bl's return address).
      if (debug.charged_at) set_reg(UC_ARM_REG_PC, *debug.charged_at);
      stop_for_debugger(*debug.hit);
      pc = reg(UC_ARM_REG_PC);
      continue;
    }
    const bool ended = pc == until || (current && current->halt) || board.stop_requested();
    // A breakpoint where the call returns (GDB's `finish`) stops there, the call then over
    // whatever GDB asks: the core would never reach it otherwise, the run ending first.
    if (pc == until && !step && debug.server && debug.breakpoints.contains(until)) {
      stop_for_debugger({.kind = StopReason::SoftwareBreak});
      debug.stop_first = debug.server && debug.step;
      return err;
    }
    if (step && ended) {
      debug.stop_first = pc == until;  // a step out of a call ends where the next one begins
      return err;
    }
    if (ended || !step) return err;
    if (current && pc > current->addr && pc < current->end) debug.charged_at = pc;
    stop_for_debugger({});
    pc = reg(UC_ARM_REG_PC);
  }
}

// A finding on the debugger's console, with the source line of the code that made it as GDB
// names lines ("at file:line"); the line tables are read when the first finding needs them.
void Emulator::Impl::console_finding(const std::string& text, std::uint32_t code) {
  if (!debug.lines) debug.lines = std::make_unique<SourceLines>(image.name());
  const SourceLines::Place place = debug.lines->shown_at(code);
  debug.server->console(
      place.line == 0 ? text : text + " at " + *place.file + ":" + std::to_string(place.line));
}

// A fault that ends the run: the debugger sees it at the faulting instruction with its signal
// and text, then hears that the program ended.
void Emulator::Impl::report_fault_to_debugger() {
  if (!debug.server) return;
  const sim::Finding& f = board.findings().back();
  console_finding(f.message, checks.fault_pc);
  set_reg(UC_ARM_REG_PC, checks.fault_pc);
  const Signal signal = checks.fault_signal;
  stop_for_debugger({.signal = signal});
  if (debug.server) debug.server->terminated(signal);
  end_debugging();
}

}  // namespace emu
