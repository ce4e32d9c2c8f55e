// The LPC2138's memory map on Unicorn: flash (code pages as plain memory, the rest behind a
// callback; data reads from either pay the accelerator's data wait), RAM, the peripheral
// windows and the page a called function returns into.
#include <algorithm>
#include <utility>

#include "emu/arm_timing.h"
#include "emulator_impl.h"

namespace emu {
namespace {

constexpr std::uint32_t kPage = 0x1000;  // Unicorn maps whole 4 KB pages

bool overlaps(const std::vector<Range>& ranges, std::uint32_t begin, std::uint32_t end) {
  return std::any_of(ranges.begin(), ranges.end(),
                     [&](const Range& r) { return r.begin < end && begin < r.end; });
}

}  // namespace

void Emulator::Impl::map_memory() {
  map_flash();
  check(uc_mem_map(uc, chip::RAM_BASE, chip::RAM_SIZE, UC_PROT_ALL), "map RAM");
  load_ram();
  for (auto [base, size] :
       {std::pair{chip::FIO_BASE, chip::FIO_SIZE}, std::pair{chip::APB_BASE, chip::APB_SIZE},
        std::pair{chip::VIC_BASE, chip::VIC_SIZE}}) {
    Window& w = windows.emplace_back(Window{this, base});
    check(uc_mmio_map(uc, base, size, mmio_read, &w, mmio_write, &w), "map peripherals");
  }
  const std::vector<std::uint32_t> trap(kPage / kWord, arm::kBranchToSelf);
  check(uc_mem_map(uc, kReturnPage, kPage, UC_PROT_READ | UC_PROT_EXEC), "map return page");
  check(uc_mem_write(uc, kReturnPage, trap.data(), kPage), "load return page");
}

void Emulator::Impl::map_flash() {
  // Pages holding code are plain memory, which Unicorn can execute from, with a hook on data
  // reads that charges the accelerator's data timing; the rest of flash goes through a
  // callback that does the same and sees writes.
  std::vector<Range> code = image.code();
  code.push_back({0, kPage});  // the vectors, whatever their section says
  std::uint32_t page = 0;
  while (page < chip::FLASH_SIZE) {
    const bool is_code = overlaps(code, page, page + kPage);
    std::uint32_t end = page + kPage;
    while (end < chip::FLASH_SIZE && overlaps(code, end, end + kPage) == is_code) end += kPage;
    if (is_code) {
      check(uc_mem_map(uc, page, end - page, UC_PROT_READ | UC_PROT_EXEC), "map flash");
      uc_hook h;
      check(uc_hook_add(uc, &h, UC_HOOK_MEM_READ, reinterpret_cast<void*>(hook_code_read), this,
                        page, end - 1),
            "code read hook");
      flash.code_read_hooks.push_back(h);
      check(uc_mem_write(uc, page, flash.bytes.data() + page, end - page), "load flash");
    } else {
      Window& w = windows.emplace_back(Window{this, page});
      check(uc_mmio_map(uc, page, end - page, flash_read, &w, flash_write, &w), "map flash");
    }
    page = end;
  }
}

void Emulator::Impl::load_ram() {
  const std::vector<std::uint8_t> fill(chip::RAM_SIZE, options.ram_fill.value_or(0));
  check(uc_mem_write(uc, chip::RAM_BASE, fill.data(), chip::RAM_SIZE), "clear RAM");
  if (options.ram_fill) {
    // .data and .bss hold what start-up puts there: zeros until it runs.
    const std::uint32_t ram_end = chip::RAM_BASE + chip::RAM_SIZE;
    const std::uint32_t low = std::clamp(layout.data, chip::RAM_BASE, ram_end);
    const std::uint32_t high = std::clamp(layout.bss_end, low, ram_end);
    const std::vector<std::uint8_t> zeros(high - low, 0);
    if (high > low) check(uc_mem_write(uc, low, zeros.data(), zeros.size()), "fill RAM");
  }
  for (const Segment& s : image.segments()) {
    if (s.addr >= chip::RAM_BASE) {
      check(uc_mem_write(uc, s.addr, s.bytes.data(), s.bytes.size()), "load RAM");
    }
  }
}

void Emulator::Impl::flash_data_read(std::uint32_t addr, unsigned size) {
  const unsigned wait = flash.mam.read(addr, access_clock(addr, {size, false}));
  delay(wait);
  profile_wait(Event::FlashWait, wait);
}

// A data read from a code page (a literal pool, a table next to code); a debugger's reads do
// not come here, nor do unaligned ones (unaligned.cpp reads the aligned word itself).
void Emulator::Impl::hook_code_read(uc_engine*, uc_mem_type, std::uint64_t addr, int size,
                                    std::int64_t, void* s) {
  Impl& self = *static_cast<Impl*>(s);
  const auto a = static_cast<std::uint32_t>(addr);
  const auto bytes = static_cast<unsigned>(size);
  if (self.unaligned.swallow || (a & (bytes - 1)) != 0) return;
  self.shielded([&] { self.flash_data_read(a, bytes); });
}

// Unicorn's pieces of an unaligned access (unaligned.cpp made it whole) reach nothing.
std::uint64_t Emulator::Impl::mmio_read(uc_engine*, std::uint64_t offset, unsigned size, void* w) {
  auto* win = static_cast<Window*>(w);
  if (win->self->unaligned.swallow) return 0;
  return win->self->shielded([&]() -> std::uint64_t {
    return win->self->peripheral_read(win->base + static_cast<std::uint32_t>(offset), size);
  });
}

void Emulator::Impl::mmio_write(uc_engine*, std::uint64_t offset, unsigned size,
                                std::uint64_t value, void* w) {
  auto* win = static_cast<Window*>(w);
  if (win->self->unaligned.swallow) return;
  win->self->shielded([&] {
    win->self->peripheral_write(win->base + static_cast<std::uint32_t>(offset), size,
                                static_cast<std::uint32_t>(value));
  });
}

std::uint64_t Emulator::Impl::flash_read(uc_engine*, std::uint64_t offset, unsigned size, void* w) {
  auto* win = static_cast<Window*>(w);
  Impl& self = *win->self;
  const std::uint32_t addr = win->base + static_cast<std::uint32_t>(offset);
  if (self.unaligned.swallow) return 0;
  return self.shielded([&]() -> std::uint64_t {
    if (!self.debug.watches.empty() && self.watch_access(addr, size, false)) return 0;
    self.flash_data_read(addr, size);
    std::uint64_t v = 0;
    for (unsigned i = 0; i < size && addr + i < chip::FLASH_SIZE; ++i) {
      v |= std::uint64_t{self.flash.bytes[addr + i]} << (8 * i);
    }
    return v;
  });
}

void Emulator::Impl::flash_write(uc_engine*, std::uint64_t offset, unsigned size,
                                 std::uint64_t value, void* w) {
  auto* win = static_cast<Window*>(w);
  Impl& self = *win->self;
  const std::uint32_t addr = win->base + static_cast<std::uint32_t>(offset);
  if (self.unaligned.swallow || self.debug.patching) return;  // the bytes are in place
  self.shielded([&] {
    self.flash_store_fault(addr, size, static_cast<std::uint32_t>(value),
                           self.locate(addr, {size, true}));
  });
}

void Emulator::Impl::flash_store_fault(std::uint32_t addr, unsigned size, std::uint32_t value,
                                       std::uint32_t at) {
  fault("write to flash at " + sim::hex_word(addr) + " (" + std::to_string(size * 8) +
            " bits, value " + sim::hex_word(value) + ") by code at " + where(at),
        addr, Signal::Segv, at);
}

}  // namespace emu
