// Faults that end a run (invalid memory, exceptions, the watchdog) and findings that do not
// (the main stack below .bss, board checks), each naming the code that caused it.
#include <algorithm>
#include <bit>

#include "emu/arm_decode.h"
#include "emulator_impl.h"

namespace emu {
namespace {

// Unicorn's interrupt number for SWI on ARM.
constexpr std::uint32_t kExceptionSwi = 2;

}  // namespace

void Emulator::Impl::fault(const std::string& message, std::uint32_t address, Signal signal,
                           std::uint32_t pc) {
  if (checks.faulted) return;
  checks.faulted = true;
  checks.fault_signal = signal;
  checks.fault_pc = pc;
  board.report({message, address});
  uc_emu_stop(uc);
}

bool Emulator::Impl::on_main_stack() const {
  // Only the main stack counts: start-up switches through the exception modes' own stacks.
  constexpr std::uint32_t kModeMask = 0x1F, kSystem = 0x1F, kUser = 0x10;
  const std::uint32_t mode = reg(UC_ARM_REG_CPSR) & kModeMask;
  return mode == kSystem || mode == kUser;
}

// Before the block runs: its lowest store through sp, below the main stack's limit (the end of
// .bss) when the stack has overflowed into the data, even where sp itself is back in range by
// the block's end.
void Emulator::Impl::check_stack_write(const Block& b) {
  if (!on_main_stack()) return;
  const std::uint32_t low = reg(UC_ARM_REG_SP) + static_cast<std::uint32_t>(b.stack_low);
  counters.lowest_sp = std::min(counters.lowest_sp, low);
  if (low >= layout.bss_end || checks.sp_reported) return;
  checks.sp_reported = true;
  board.report({"stack overflow: write to " + sim::hex_word(low) +
                    " below the main stack's limit, the end of .bss " +
                    sim::hex_word(layout.bss_end) + ", by code at " + where(b.stack_low_at),
                low});
}

void Emulator::Impl::check_sp() {
  if (!on_main_stack()) return;
  const std::uint32_t sp = reg(UC_ARM_REG_SP);
  counters.lowest_sp = std::min(counters.lowest_sp, sp);
  if (sp >= layout.bss_end || checks.sp_reported) return;
  checks.sp_reported = true;
  board.report({"stack overflow: sp " + sim::hex_word(sp) + " below the end of .bss " +
                    sim::hex_word(layout.bss_end) + " after the block at " + where(current->addr),
                sp});
}

void Emulator::Impl::check_watchdog() {
  const std::size_t frames = board.lcd().frame_count();
  if (frames > checks.frames_seen) {
    checks.frames_seen = frames;
    checks.watchdog_deadline = counters.instructions + options.watchdog_instructions;
    return;
  }
  fault("watchdog: no frame completed in " + std::to_string(options.watchdog_instructions) +
            " instructions; stopped at " + where(reg(UC_ARM_REG_PC)),
        0, Signal::Alarm, reg(UC_ARM_REG_PC));
}

void Emulator::Impl::check_time_limit() {
  sync_board();
  if (!board.time_up()) {
    update_time_limit();  // the clock has gone faster since the bound was placed
    return;
  }
  checks.time_limit_at = kNoTimeLimit;
  board.request_stop();  // and a sequence of calls makes no further one
  uc_emu_stop(uc);
}

void Emulator::Impl::update_time_limit() {
  const std::optional<std::uint64_t> at = board.time_limit_cycles();
  checks.time_limit_at = at ? *at - board.cclk_cycles() + board_time : kNoTimeLimit;
}

namespace {

// The word of the transfer `t` that reaches `accessed` under registers r, if it does: loads
// and stores by the address they compute (or its aligned part, which an unaligned access puts
// on the bus), block transfers by the words they span.
std::optional<unsigned> word_reaching(const Transfer& t, std::uint32_t pc, const std::uint32_t* r,
                                      std::uint32_t accessed) {
  const arm::Instruction& x = t.insn;
  if (x.kind != arm::Class::BlockTransfer) {
    const std::optional<std::uint32_t> a =
        x.kind == arm::Class::Swap ? r[x.rn] : arm::transfer_address(x, pc, r);
    const std::uint32_t aligned = a ? *a & ~(std::max<std::uint32_t>(x.size, 1) - 1) : 0;
    return a && (*a == accessed || aligned == accessed) ? std::optional<unsigned>(0) : std::nullopt;
  }
  const auto words = static_cast<std::uint32_t>(std::popcount(x.registers));
  const std::uint32_t low = arm::block_transfer_start(x, r[x.rn]);
  const std::uint32_t k = ((accessed & ~3u) - (low & ~3u)) / kWord;
  if (k >= words) return std::nullopt;
  return k;
}

}  // namespace

// Memory callbacks see the registers as the instruction making the access does (its own
// write-back comes after), but the pc only as the block started. The core runs the block's
// loads and stores in order: the first from the last one found whose condition holds, that
// moves data the access's way and reaches its address made it.
std::pair<std::uint32_t, unsigned> Emulator::Impl::locate_transfer(std::uint32_t accessed,
                                                                   Access how) {
  const Block& b = *current;
  const std::vector<Transfer>& ts = b.transfers;
  std::optional<std::uint32_t> cpsr;
  // Whether transfer c, having made `used` accesses, may make this one, by what costs nothing
  // to check: direction, width, condition.
  const auto may = [&](std::size_t c, unsigned used) {
    const arm::Instruction& x = ts[c].insn;
    const bool block = x.kind == arm::Class::BlockTransfer;
    if (x.kind == arm::Class::Swap ? used >= 2 : x.load == how.write) return false;
    if (!block && (x.size != how.size || (x.kind != arm::Class::Swap && used >= 1))) return false;
    if (x.cond == arm::kAlways) return true;
    if (!cpsr) cpsr = reg(UC_ARM_REG_CPSR);
    return arm::condition_passed(x.cond, *cpsr);
  };
  // The registers a candidate's address needs, each read once and a candidate's in one call:
  // a call costs Unicorn far more than the arithmetic.
  std::uint32_t r[kRegisters] = {};
  std::uint32_t have = 1u << arm::kPc;  // the pc is the instruction's own
  const auto need = [&](const arm::Instruction& x) {
    std::uint32_t mask = 1u << x.rn;
    if (x.operand == arm::Operand::Register) mask |= 1u << x.rm;
    read_registers(mask & ~have, r);
    have |= mask;
  };
  // The word of transfer c this access is, by the address it computes.
  const auto reaches = [&](std::size_t c, unsigned used) -> std::optional<unsigned> {
    const Transfer& t = ts[c];
    const arm::Instruction& x = t.insn;
    if (t.literal) {
      const bool hit = *t.literal == accessed || (*t.literal & ~3u) == accessed;
      return hit ? std::optional<unsigned>(0) : std::nullopt;
    }
    need(x);
    const auto word = word_reaching(t, b.addr + t.index * kWord, r, accessed);
    if (!word || (x.kind == arm::Class::BlockTransfer && *word < used)) return std::nullopt;
    return word;
  };
  const auto found = [&](std::size_t c, unsigned used, unsigned word) {
    running.transfer = c;
    running.words = ts[c].insn.kind == arm::Class::BlockTransfer ? word + 1 : used + 1;
    running.at = b.addr + ts[c].index * kWord;
    return std::pair{ts[c].index, word};
  };
  std::size_t first = running.transfer;
  while (first < ts.size() && !may(first, first == running.transfer ? running.words : 0)) ++first;
  // The first that may, when nothing after it is alike, is the one.
  if (first < ts.size() && ts[first].last_of_its_kind &&
      ts[first].insn.kind != arm::Class::BlockTransfer) {
    return found(first, first == running.transfer ? running.words : 0, 0);
  }
  for (std::size_t c = first; c < ts.size(); ++c) {
    const unsigned used = c == running.transfer ? running.words : 0;
    if (!may(c, used)) continue;
    if (const auto word = reaches(c, used)) return found(c, used, *word);
  }
  // Run again from within the block (a debugger's stop): any of them.
  for (std::size_t c = 0; c < ts.size(); ++c) {
    if (may(c, 0) && reaches(c, 0)) {
      running.at = b.addr + ts[c].index * kWord;
      return {ts[c].index, *reaches(c, 0)};
    }
  }
  running.at = b.addr;
  return {0, 0};
}

void Emulator::Impl::read_registers(std::uint32_t mask, std::uint32_t* r) const {
  int ids[kRegisters];
  void* values[kRegisters];
  int n = 0;
  for (std::uint32_t left = mask & 0xFFFF; left != 0; left &= left - 1) {
    const auto i = static_cast<unsigned>(std::countr_zero(left));
    ids[n] = kCoreRegister[i];
    values[n++] = &r[i];
  }
  if (n != 0) uc_reg_read_batch(uc, ids, values, n);
}

// Without taking the access as made: a fault's or a debugger's question.
std::uint32_t Emulator::Impl::locate(std::uint32_t accessed, Access how) {
  if (!current) return reg(UC_ARM_REG_PC);
  const Running kept = running;
  locate_transfer(accessed, how);
  const std::uint32_t at = running.at;
  running = kept;
  return at;
}

std::uint64_t Emulator::Impl::access_clock(std::uint32_t accessed, Access how) {
  if (!current) return counters.cycles;
  const auto [index, word] = locate_transfer(accessed, how);
  catch_up(index);
  return clock_of(index) + 1 + word;
}

// A board check that failed names the code that made the access.
void Emulator::Impl::after_board_access(std::size_t before) {
  if (board.findings().size() == before) return;
  const std::uint32_t at = current ? running.at : reg(UC_ARM_REG_PC);
  board.locate_findings(before, where(at));
  if (!debug.server) return;
  for (std::size_t i = before; i < board.findings().size(); ++i) {
    console_finding("finding: " + board.findings()[i].message, at);
  }
}

bool Emulator::Impl::hook_invalid(uc_engine*, uc_mem_type type, std::uint64_t addr, int size,
                                  std::int64_t, void* s) {
  Impl& self = *static_cast<Impl*>(s);
  const auto a = static_cast<std::uint32_t>(addr);
  self.shielded([&] {
    std::string what;
    switch (type) {
      case UC_MEM_FETCH_UNMAPPED:
      case UC_MEM_FETCH_PROT:
        self.fault("instruction fetch from " + sim::hex_word(a) +
                       ", outside the code in flash and RAM" +
                       (self.current ? ", after the block at " + self.where(self.current->addr)
                                     : std::string()),
                   a, Signal::Segv, a);
        return;
      case UC_MEM_WRITE_PROT:
        what = "write to flash at ";
        break;
      case UC_MEM_READ_UNMAPPED:
        what = "read from unmapped address ";
        break;
      case UC_MEM_WRITE_UNMAPPED:
        what = "write to unmapped address ";
        break;
      default:
        what = "access to ";
        break;
    }
    const std::uint32_t at =
        self.locate(a, Access{static_cast<unsigned>(size),
                              type == UC_MEM_WRITE_UNMAPPED || type == UC_MEM_WRITE_PROT});
    self.fault(what + sim::hex_word(a) + " (" + std::to_string(size * 8) + " bits) by code at " +
                   self.where(at),
               a, Signal::Segv, at);
  });
  return false;
}

void Emulator::Impl::hook_interrupt(uc_engine*, std::uint32_t intno, void* s) {
  Impl& self = *static_cast<Impl*>(s);
  self.shielded([&] {
    const std::uint32_t pc = self.reg(UC_ARM_REG_PC);
    if (intno == kExceptionSwi) {
      self.fault("software interrupt (SWI) taken at " + self.where(pc - kWord), pc - kWord,
                 Signal::Trap, pc - kWord);
    } else {
      self.fault("exception " + std::to_string(intno) + " taken near " + self.where(pc), pc,
                 Signal::Segv, pc);
    }
  });
}

}  // namespace emu
