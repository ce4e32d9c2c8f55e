// Poll loops (a load from a status register, a test, a branch back) run inside one read
// callback: the same reads at the same clocks, the same clocks and instruction count as
// running each pass, without the passes that certainly read "still busy".
#include <algorithm>
#include <optional>

#include "emulator_impl.h"

namespace emu {

// Goes round the poll whose first pass has just read `value`, each pass as the core runs it
// (the branch back, the accelerator's answer to the fetches, the read at its data cycle),
// until the value lets it out. The board knows the clock at which the running transfer,
// conversion or UART0 character completes, and reads before it change nothing there (status
// reads clear flags only once they are set): passes that read before it are timed, not read,
// and once two of them have cost the same the loop is steady and they are only counted. The
// board's time bound ends the poll too, as do a signal (Emulator::interrupt) and a debugger's
// Ctrl-C, looked for as often as between blocks.
std::uint32_t Emulator::Impl::finish_poll(std::uint32_t addr, unsigned size, std::uint32_t value,
                                          unsigned wait) {
  const std::uint32_t cpsr = current->spin_reads_flags ? reg(UC_ARM_REG_CPSR) : 0;
  if (!spin_continues(*current, value, cpsr)) return value;
  // A poll at the end of a longer block goes round as the block of its own three instructions
  // that the branch back starts.
  Block& b =
      current->spin ? *current : block(current->end - kSpinLength * kWord, kSpinLength * kWord);
  if (addr == chip::AD0GDR.addr) b.activity = Activity::AdcWait;
  const std::size_t findings_before = board.findings().size();
  const std::optional<std::uint64_t> ends = addr == chip::S0SPSR.addr   ? board.transfer_done_at()
                                            : addr == chip::AD0GDR.addr ? board.conversion_done_at()
                                            : addr == chip::U0LSR.addr  ? board.character_done_at()
                                                                        : std::nullopt;
  const bool known = ends.has_value();
  const std::uint64_t done = known ? *ends - board.cclk_cycles() + board_time : 0;  // core clock
  std::uint64_t read_at = board_time;
  std::uint64_t pass = 0, previous = 0;
  bool goes_on = spin_continues(b, value, cpsr);  // changes only with the value read
  while (goes_on && counters.instructions < checks.watchdog_deadline &&
         counters.cycles < checks.time_limit_at && !interrupted.load(std::memory_order_relaxed) &&
         !debug.hit) {
    if (debug.server) poll_debugger(b.addr);
    if (known && pass != 0 && pass == previous) {
      const std::uint64_t quiet_until = std::min(done, checks.time_limit_at);
      if (const std::uint64_t n = quiet_passes(quiet_until, read_at, pass); n != 0) {
        charge(n * pass, activity());
        counters.instructions += n * b.insns;
        flash.mam.delay(n * pass);
        running.start += n * pass;
        read_at += n * pass;
        if (profile) profile->repeat(n, pass, wait);
      }
    }
    finish_block(b.addr);  // the branch back
    begin_block(b, false);
    catch_up(0);
    const std::uint64_t at = clock_of(0) + 1;
    previous = pass;
    pass = at - read_at;
    read_at = at;
    running.words = 1;
    running.at = b.addr;
    if (!known || at >= done) {
      sync_board(at);
      value = board.read(addr, size * 8);
      goes_on = spin_continues(b, value, cpsr);
    }
    delay(wait);
    profile_wait(Event::ApbWait, wait);
  }
  after_board_access(findings_before);
  return value;
}

// How many passes after the one that read at `read_at` certainly read before `done`, within
// the watchdog's budget.
std::uint64_t Emulator::Impl::quiet_passes(std::uint64_t done, std::uint64_t read_at,
                                           std::uint64_t pass) const {
  if (done <= read_at) return 0;
  const std::uint64_t n = (done - read_at - 1) / pass;
  const std::uint64_t budget = (checks.watchdog_deadline - counters.instructions) / current->insns;
  return std::min(n, budget);
}

}  // namespace emu
