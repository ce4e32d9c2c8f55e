// Accesses to the peripheral windows: the board model at the clock of the instruction's data
// cycle, the APB bridge's wait after it, the accelerator following MAMCR and MAMTIM, and the
// frame limit.
#include "emulator_impl.h"

namespace emu {
namespace {

// The APB bridge's wait on every peripheral access (Timing in emulator.h says what fixes it).
// Fast GPIO and the VIC are not behind the bridge.
unsigned apb_wait(std::uint32_t addr, const Timing& timing) {
  return chip::in_region(addr, chip::APB_BASE, chip::APB_SIZE) ? timing.apb_wait : 0;
}

}  // namespace

std::uint64_t Emulator::Impl::peripheral_read(std::uint32_t addr, unsigned size) {
  if (addr == chip::AD0GDR.addr && current) current->activity = Activity::AdcWait;
  if (!debug.watches.empty() && watch_access(addr, size, false)) return 0;  // read when resumed
  sync_board(access_clock(addr, {size, false}));
  const std::size_t before = board.findings().size();
  std::uint32_t v = board.read(addr, size * 8);
  after_board_access(before);
  const unsigned wait = apb_wait(addr, options.timing);
  delay(wait);
  profile_wait(Event::ApbWait, wait);
  const bool polls =
      current && (current->spin ||
                  (current->ends_in_spin && running.at == current->end - kSpinLength * kWord));
  if (polls) v = finish_poll(addr, size, v, wait);
  return v;
}

void Emulator::Impl::peripheral_write(std::uint32_t addr, unsigned size, std::uint32_t value) {
  if (!debug.watches.empty() && watch_access(addr, size, true)) return;  // written when resumed
  sync_board(access_clock(addr, {size, true}));
  const std::size_t before = board.findings().size();
  board.write(addr, size * 8, value);
  after_board_access(before);
  const unsigned wait = apb_wait(addr, options.timing);
  delay(wait);
  profile_wait(Event::ApbWait, wait);
  // Whoever asked the board to stop (the frame cap, a viewer, a signal) ends the run at the
  // next word.
  if (addr == chip::S0SPDR.addr && board.stop_requested()) {
    uc_emu_stop(uc);
  }
  // A feed may have changed the processor clock's rate, and with it when the time bound falls.
  if (addr == chip::PLLFEED.addr && checks.time_limit_at != kNoTimeLimit) update_time_limit();
  if (addr == chip::MAMCR.addr || addr == chip::MAMTIM.addr) {
    const std::uint8_t cr = board.mamcr(), tim = board.mamtim();
    if (cr != flash.mamcr || tim != flash.mamtim) {
      flash.mamcr = cr;
      flash.mamtim = tim;
      flash.mam.configure(cr, tim);
    }
  }
}

}  // namespace emu
