// What a debugger does to the chip as a probe would: GDB's `load` programs the flash through the
// flash model's rules, `monitor reset` takes the chip back to its reset vector (booting whatever
// the flash now holds) and `monitor cycles` reads a stopwatch on the processor clock.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "emulator_impl.h"

namespace emu {
namespace {

constexpr std::uint32_t kResetCpsr = 0xD3;  // supervisor mode, IRQ and FIQ masked

std::string hex(std::uint32_t v) {
  char s[16];
  std::snprintf(s, sizeof s, "0x%08x", static_cast<unsigned>(v));
  return s;
}

}  // namespace

bool Emulator::Impl::erase_flash(std::uint32_t addr, std::uint32_t length) {
  if (!loading.download) {
    loading.cells = std::make_unique<emu::Flash>(flash.bytes);
    loading.download = std::make_unique<FlashDownload>(*loading.cells);
  }
  return loading.download->erase(addr, length);
}

bool Emulator::Impl::program_flash(std::uint32_t addr, std::span<const std::uint8_t> data) {
  if (!loading.download) {
    loading.cells = std::make_unique<emu::Flash>(flash.bytes);
    loading.download = std::make_unique<FlashDownload>(*loading.cells);
  }
  return loading.download->write(addr, data);
}

// The download's bytes become the chip's: in the data path, in Unicorn's code pages, and out of
// the translated code and decoded blocks that covered them.
std::vector<std::string> Emulator::Impl::flash_done() {
  if (!loading.download) return {};
  const FlashDownload::Done done = loading.download->done();
  const std::vector<std::uint8_t>& cells = loading.cells->bytes();
  for (const auto& [begin, end] : done.changed) {
    std::copy(cells.begin() + begin, cells.begin() + end, flash.bytes.begin() + begin);
    debug.patching = true;  // the callback of pages without code lets the bytes through
    uc_mem_write(uc, begin, cells.data() + begin, end - begin);
    debug.patching = false;
    uc_ctl_remove_cache(uc, begin, end);
  }
  // Blocks stay alive (a profile knows them by address in memory); they are only found no more.
  if (!done.changed.empty()) {
    std::fill(blocks.in_flash.begin(), blocks.in_flash.end(), nullptr);
    loading.changed = true;
    loading.downloaded = true;
  }
  loading.download.reset();
  loading.cells.reset();
  std::vector<std::string> said;
  if (done.checksum) {
    said.push_back(
        "vector checksum " + hex(*done.checksum) + " written at 0x14" +
        (*done.checksum != done.replaced ? " (the image had " + hex(done.replaced) + ")" : ""));
  }
  return said;
}

// The image the flash now holds: the session's own file (read again: it may have been rebuilt
// and loaded) with its symbols, or raw flash with addresses alone; its code pages mapped, its
// in-place hooks set as at the start of a session.
void Emulator::Impl::boot_programmed_flash(std::vector<std::string>& said) {
  const emu::Flash cells(flash.bytes);
  std::optional<ElfImage> elf;
  try {
    elf = ElfImage::load(loading.elf_path);
  } catch (const BadImage&) {
  }
  const auto differs = elf ? differs_from(cells, *elf) : std::optional<std::uint32_t>(0);
  if (elf && !differs) {
    image = ElfImage::from_flash(flash.bytes, &*elf);
    said.push_back("the flash holds " + loading.elf_path + ": its symbols name the code");
  } else {
    image = ElfImage::from_flash(flash.bytes);
    said.push_back("the flash differs from " + loading.elf_path + " at " + hex(*differs) +
                   ": the program runs without its symbols, findings name addresses");
  }
  lay_out();
  for (uc_hook h : blocks.in_place_ids) uc_hook_del(uc, h);
  blocks.in_place_ids.clear();
  blocks.in_place.clear();
  blocks.in_place_hooks.clear();
  for (uc_hook h : flash.code_read_hooks) uc_hook_del(uc, h);
  flash.code_read_hooks.clear();
  check(uc_mem_unmap(uc, chip::FLASH_BASE, chip::FLASH_SIZE), "unmap flash");
  map_flash();
  for (const Range& r : image.code()) {
    if (layout.main && r.end <= chip::FLASH_BASE + chip::FLASH_SIZE) settle_in_place(r);
  }
}

// As the chip comes out of reset, if its boot loader would start the program: the core in
// supervisor mode at the reset vector, RAM as at power-up, the peripherals at their reset values
// and the LCD module with them, the accelerator off. The board's clock runs on (its trace and frame
// times stay one time line); the stopwatch starts from zero.
bool Emulator::Impl::reset_chip(std::vector<std::string>& said) {
  // The session's image stands for a chip that lpc21isp programmed, the checksum at 0x14 with
  // it; once a download has programmed the flash, the vectors are what the flash holds.
  if (loading.downloaded && !emu::Flash(flash.bytes).vectors_valid()) {
    std::uint32_t sum = 0;
    for (std::uint32_t at = 0; at < kVectorsEnd; at += kWord) {
      std::uint32_t w = 0;
      std::memcpy(&w, flash.bytes.data() + at, kWord);
      sum += w;
    }
    said.push_back("the vector words sum to " + hex(sum) +
                   ", not zero: the boot loader would not start the program, so the chip "
                   "stays as it was (load writes their checksum at 0x14)");
    return false;
  }
  if (loading.changed) {
    boot_programmed_flash(said);
    loading.changed = false;
  }
  if (profile) profile->end_run();  // the calls under way never return
  std::fill(blocks.in_flash.begin(), blocks.in_flash.end(), nullptr);
  std::fill(blocks.in_ram.begin(), blocks.in_ram.end(), nullptr);
  uc_ctl_remove_cache(uc, chip::RAM_BASE, chip::RAM_BASE + chip::RAM_SIZE);
  load_ram();
  for (unsigned i = 0; i + 1 < kRegisters; ++i) set_reg(kCoreRegister[i], 0);
  set_reg(UC_ARM_REG_CPSR, kResetCpsr);
  for (unsigned i = 0; i + 1 < kRegisters; ++i) set_reg(kCoreRegister[i], 0);  // SVC's own too
  set_reg(UC_ARM_REG_PC, chip::FLASH_BASE);
  sync_board();
  board.reset();
  board.lcd().set_reset(true);  // the board's reset takes the LCD module with it
  board.lcd().set_reset(false);
  flash.mam = Mam(options.timing.mam);
  flash.mamcr = chip::MAMCR_OFF;
  flash.mamtim = chip::MAMTIM_MAX;
  reset_run();
  running = {};
  at_main = {};
  unaligned.block = nullptr;
  unaligned.swallow = false;
  debug.charged_at.reset();
  debug.pass_break.reset();
  debug.resume_from.reset();
  loading.rebooted = true;
  loading.stopwatch = counters.cycles;
  return true;
}

// The clocks before the instruction the program stopped at: at a block's first instruction,
// those before the block (whose clocks are charged as it starts); inside one, those before the
// instruction in the block's own time line.
std::uint64_t Emulator::Impl::clocks_at_stop() const {
  const auto at = debug.charged_at;
  if (!current || !at || *at < current->addr || *at >= current->end) {
    return counters.cycles;
  }
  const auto i = static_cast<std::uint32_t>((*at - current->addr) / kWord);
  return i == 0 ? running.begun : clock_of(i);
}

}  // namespace emu
