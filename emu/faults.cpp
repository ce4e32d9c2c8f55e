// Faults that end a run (invalid memory, exceptions, the watchdog) and findings that do not
// (the main stack below .bss, board checks), each naming the code that caused it.
#include <algorithm>

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

// The instruction of the running block that accessed `accessed`: registers are current at a
// memory callback, the pc only at the block's start. Of several that reach the same word, the
// one that reaches the very address with the access's width and direction.
std::uint32_t Emulator::Impl::locate(std::uint32_t accessed, std::optional<Access> how) const {
  if (!current) return reg(UC_ARM_REG_PC);
  std::uint32_t r[kRegisters];
  for (unsigned i = 0; i < kRegisters; ++i) r[i] = reg(kCoreRegister[i]);
  for (const int pass : {0, 1, 2}) {
    if (pass == 0 && !how) continue;
    const std::uint32_t width_mask = pass < 2 ? ~0u : ~3u;
    for (std::uint32_t pc = current->addr; pc < current->end; pc += kWord) {
      std::uint32_t word = 0;
      if (uc_mem_read(uc, pc, &word, kWord) != UC_ERR_OK) break;
      const arm::Instruction insn = arm::decode_instruction(word);
      // Of the same word, the one that moves the access's width in its direction.
      const auto moves = [&] { return insn.load != how->write && insn.size == how->size; };
      if (auto a = arm::transfer_address(insn, pc, r);
          a && (*a & width_mask) == (accessed & width_mask) && (pass > 0 || moves())) {
        return pc;
      }
      if (insn.kind == arm::Class::BlockTransfer && pass == 2) {
        const std::uint32_t base = r[insn.rn];
        const std::uint32_t span = 4 * 16;
        if (accessed + span >= base && accessed <= base + span) return pc;
      }
    }
  }
  return current->addr;
}

// A board check that failed names the code that made the access.
void Emulator::Impl::after_board_access(std::size_t before, std::uint32_t accessed) {
  if (board.findings().size() == before) return;
  board.locate_findings(before, where(locate(accessed)));
  if (!debug.server) return;
  for (std::size_t i = before; i < board.findings().size(); ++i) {
    debug.server->console("finding: " + board.findings()[i].message);
  }
}

bool Emulator::Impl::hook_invalid(uc_engine*, uc_mem_type type, std::uint64_t addr, int size,
                                  std::int64_t, void* s) {
  Impl& self = *static_cast<Impl*>(s);
  const auto a = static_cast<std::uint32_t>(addr);
  std::string what;
  switch (type) {
    case UC_MEM_FETCH_UNMAPPED:
    case UC_MEM_FETCH_PROT:
      self.fault("instruction fetch from " + sim::hex_word(a) +
                     ", outside the code in flash and RAM" +
                     (self.current ? ", after the block at " + self.where(self.current->addr)
                                   : std::string()),
                 a, Signal::Segv, a);
      return false;
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
  return false;
}

void Emulator::Impl::hook_interrupt(uc_engine*, std::uint32_t intno, void* s) {
  Impl& self = *static_cast<Impl*>(s);
  const std::uint32_t pc = self.reg(UC_ARM_REG_PC);
  if (intno == kExceptionSwi) {
    self.fault("software interrupt (SWI) taken at " + self.where(pc - kWord), pc - kWord,
               Signal::Trap, pc - kWord);
  } else {
    self.fault("exception " + std::to_string(intno) + " taken near " + self.where(pc), pc,
               Signal::Segv, pc);
  }
}

}  // namespace emu
