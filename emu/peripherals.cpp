// Accesses to the peripheral windows: the board model at the core's time, the APB bridge's
// wait, the accelerator following MAMCR and MAMTIM, and the frame limit.
#include "emulator_impl.h"

namespace emu {
namespace {

// The APB bridge adds wait states to every peripheral access. The manual gives no figure;
// 3 clocks (with PCLK = CCLK) is an estimate. Fast GPIO and the VIC are not behind it.
constexpr unsigned kApbWait = 3;

}  // namespace

std::uint64_t Emulator::Impl::peripheral_read(std::uint32_t addr, unsigned size) {
  const unsigned wait = chip::in_region(addr, chip::APB_BASE, chip::APB_SIZE) ? kApbWait : 0;
  if (addr == chip::AD0GDR.addr && current) current->activity = Activity::AdcWait;
  if (!debug.watches.empty() && watch_access(addr, size, false)) return 0;  // read when resumed
  charge(wait, activity());
  profile_wait(addr, Event::ApbWait, wait);
  sync_board();
  const std::size_t before = board.findings().size();
  const std::uint32_t v = board.read(addr, size * 8);
  after_board_access(before, addr);
  if (!current || !current->spin) return v;
  return finish_poll(addr, size, v, wait, activity());
}

void Emulator::Impl::peripheral_write(std::uint32_t addr, unsigned size, std::uint32_t value) {
  if (!debug.watches.empty() && watch_access(addr, size, true)) return;  // written when resumed
  if (chip::in_region(addr, chip::APB_BASE, chip::APB_SIZE)) {
    charge(kApbWait, activity());
    profile_wait(addr, Event::ApbWait, kApbWait);
  }
  sync_board();
  const std::size_t before = board.findings().size();
  board.write(addr, size * 8, value);
  after_board_access(before, addr);
  // Whoever asked the board to stop (the frame cap, a viewer, a signal) ends the run at the
  // next word.
  if (addr == chip::S0SPDR.addr && board.stop_requested()) {
    uc_emu_stop(uc);
  }
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
