// Poll loops (a load from a status register, a test, a branch back) run inside one read
// callback: the same reads, clocks and instruction count as running each pass, without the
// passes that certainly read "still busy".
#include <algorithm>
#include <optional>

#include "emulator_impl.h"

namespace emu {

// Goes round the poll that has just read `value`, reading the board at the times the core
// would, until the value lets it out.
std::uint32_t Emulator::Impl::finish_poll(std::uint32_t addr, unsigned size, std::uint32_t value,
                                          unsigned wait, Activity activity) {
  const Block& b = *current;
  const std::uint32_t cpsr = reg(UC_ARM_REG_CPSR);
  const std::uint64_t pass = b.exit_extra + b.cycles + wait;
  const std::size_t findings_before = board.findings().size();
  const std::uint64_t instructions_before = counters.instructions;
  while (spin_continues(b, value, cpsr) && counters.instructions < checks.watchdog_deadline) {
    skip_quiet_passes(addr, pass, b.insns, activity);
    charge(pass, activity);
    counters.instructions += b.insns;
    sync_board();
    value = board.read(addr, size * 8);
  }
  if (profile) profile->repeat((counters.instructions - instructions_before) / b.insns, pass, wait);
  after_board_access(findings_before, addr);
  return value;
}

// Passes of a poll that certainly read "still busy": the board knows the clock at which the
// running transfer or conversion completes, and reads before it change nothing there (status
// reads clear flags only once they are set). Only the pass that reads at or after it is run.
void Emulator::Impl::skip_quiet_passes(std::uint32_t addr, std::uint64_t pass, std::uint32_t insns,
                                       Activity activity) {
  const std::optional<std::uint64_t> done = addr == chip::S0SPSR.addr   ? board.transfer_done_at()
                                            : addr == chip::AD0GDR.addr ? board.conversion_done_at()
                                                                        : std::nullopt;
  const std::uint64_t now = board.cclk_cycles();
  if (!done || *done <= now || pass == 0) return;
  // A pass's read comes at its end: the first n all read before `done`.
  std::uint64_t n = (*done - now - 1) / pass;
  const std::uint64_t budget = (checks.watchdog_deadline - counters.instructions) / insns;
  n = std::min(n, budget);
  charge(n * pass, activity);
  counters.instructions += n * insns;
}

}  // namespace emu
