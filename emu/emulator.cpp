#include "emu/emulator.h"

#include <unicorn/unicorn.h>

#include <algorithm>
#include <deque>
#include <optional>
#include <stdexcept>
#include <vector>

#include "emu/arm_timing.h"
#include "emu/block.h"
#include "emu/elf_image.h"
#include "emu/mam.h"
#include "hw/lpc2138.h"
#include "sim/format.h"

namespace emu {
namespace {

namespace chip = lpc2138;

constexpr std::uint32_t kPage = 0x1000;  // Unicorn maps whole 4 KB pages
constexpr std::uint32_t kWord = 4;
constexpr std::uint32_t kResetCpsr = 0xD3;  // supervisor mode, IRQ and FIQ masked
// A page outside the LPC2138's map that a called function returns into; the run stops there.
constexpr std::uint32_t kReturnPage = 0xF0000000;
// The APB bridge adds wait states to every peripheral access. The manual gives no figure;
// 3 clocks (with PCLK = CCLK) is an estimate. Fast GPIO and the VIC are not behind it.
constexpr unsigned kApbWait = 3;
// Unicorn's interrupt number for SWI on ARM.
constexpr std::uint32_t kExceptionSwi = 2;
constexpr unsigned kRegisters = 16;
constexpr int kCoreRegister[kRegisters] = {
    UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4,  UC_ARM_REG_R5,
    UC_ARM_REG_R6,  UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
    UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC};

bool overlaps(const std::vector<Range>& ranges, std::uint32_t begin, std::uint32_t end) {
  return std::any_of(ranges.begin(), ranges.end(),
                     [&](const Range& r) { return r.begin < end && begin < r.end; });
}

}  // namespace

struct Emulator::Impl {
  // A peripheral window as Unicorn's MMIO callbacks see it.
  struct Window {
    Impl* self;
    std::uint32_t base;
  };

  Impl(const std::string& path, sim::Board& b, const Options& o);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  void check(uc_err err, const char* what) const {
    if (err != UC_ERR_OK) throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
  }
  void map_memory();
  void install_hooks();

  void reset_run();
  void run(std::uint32_t begin, std::uint32_t until);
  bool reach_main();

  Block& block(std::uint32_t addr, std::uint32_t size);
  Block decode(std::uint32_t addr, std::uint32_t size) const;
  void on_block(std::uint32_t addr, std::uint32_t size);
  std::uint64_t settle(const std::vector<Dynamic>& items);
  void finish_block(std::uint32_t next);
  void charge(std::uint64_t clocks, Activity a) {
    counters.cycles += clocks;
    counters.by_activity[static_cast<std::size_t>(a)] += clocks;
  }

  std::uint32_t reg(int id) const {
    std::uint32_t v = 0;
    uc_reg_read(uc, id, &v);
    return v;
  }
  void set_reg(int id, std::uint32_t v) { uc_reg_write(uc, id, &v); }
  std::uint32_t locate(std::uint32_t accessed) const;
  std::string where(std::uint32_t code) const {
    return sim::hex_word(code) + " (" + image.describe(code) + ")";
  }
  void fault(const std::string& message, std::uint32_t address);
  void check_sp();
  void check_watchdog();

  std::uint64_t peripheral_read(std::uint32_t addr, unsigned size);
  void peripheral_write(std::uint32_t addr, unsigned size, std::uint32_t value);
  void after_board_access(std::size_t findings_before, std::uint32_t accessed);
  void skip_quiet_passes(std::uint32_t addr, std::uint64_t pass, std::uint32_t insns,
                         Activity activity);
  bool frame_limit_reached() const {
    return options.frame_limit != 0 &&
           board.lcd().frames().size() >= run_first_frame + options.frame_limit;
  }
  void sync_board() {
    board.advance(counters.cycles - board_time);
    board_time = counters.cycles;
  }

  static void hook_block(uc_engine*, std::uint64_t addr, std::uint32_t size, void* self);
  static bool hook_invalid(uc_engine*, uc_mem_type type, std::uint64_t addr, int size,
                           std::int64_t value, void* self);
  static void hook_interrupt(uc_engine*, std::uint32_t intno, void* self);
  static std::uint64_t mmio_read(uc_engine*, std::uint64_t offset, unsigned size, void* w);
  static void mmio_write(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value,
                         void* w);
  static std::uint64_t flash_read(uc_engine*, std::uint64_t offset, unsigned size, void* w);
  static void flash_write(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value,
                          void* w);

  sim::Board& board;
  Options options;
  ElfImage image;
  std::unique_ptr<uc_engine, decltype(&uc_close)> engine{nullptr, &uc_close};
  uc_engine* uc = nullptr;          // engine, for the many calls that take it
  std::vector<std::uint8_t> flash;  // as loaded; the data path of pages without code reads it
  std::uint32_t main_addr = 0;
  std::uint32_t bss_end = 0;
  std::uint32_t flash_used = 0, ram_used = 0;
  std::uint32_t stack_top = 0;
  std::uint32_t main_cpsr = 0;
  bool started = false;
  std::deque<Window> windows;

  std::vector<Range> serial;  // sendlcd, senddisp
  std::deque<Block> blocks;
  std::vector<Block*> flash_blocks, ram_blocks;  // by start word

  Counters counters;
  std::uint64_t board_time = 0;
  Mam mam;
  std::uint8_t mamcr = chip::MAMCR_OFF, mamtim = chip::MAMTIM_MAX;  // reset values
  Block* current = nullptr;
  bool faulted = false;
  bool sp_reported = false;
  std::uint64_t watchdog_deadline = 0;
  std::size_t frames_seen = 0;
  std::size_t run_first_frame = 0;  // frames completed before this run
};

Emulator::Impl::Impl(const std::string& path, sim::Board& b, const Options& o)
    : board(b), options(o), image(ElfImage::load(path)) {
  const auto main_sym = image.find("main");
  if (!main_sym) throw BadImage(path + ": no symbol main");
  main_addr = *main_sym;
  bss_end = image.find("_bss_end").value_or(chip::RAM_BASE);
  for (const char* name : {"sendlcd", "senddisp"}) {
    if (auto r = image.extent(name)) serial.push_back(*r);
  }

  flash.assign(chip::FLASH_SIZE, 0xFF);  // erased flash reads as ones
  for (const Segment& s : image.segments()) {
    const std::uint32_t end = s.addr + static_cast<std::uint32_t>(s.bytes.size());
    if (s.addr >= chip::FLASH_BASE && end <= chip::FLASH_BASE + chip::FLASH_SIZE) {
      std::copy(s.bytes.begin(), s.bytes.end(), flash.begin() + (s.addr - chip::FLASH_BASE));
      flash_used = std::max(flash_used, end - chip::FLASH_BASE);
    } else if (!(s.addr >= chip::RAM_BASE && end <= chip::RAM_BASE + chip::RAM_SIZE)) {
      throw BadImage(path + ": a segment at " + sim::hex_word(s.addr) +
                     " lies outside flash and RAM");
    }
  }
  const std::uint32_t data = image.find("_data").value_or(chip::RAM_BASE);
  ram_used = bss_end > data ? bss_end - data : 0;

  flash_blocks.assign(chip::FLASH_SIZE / kWord, nullptr);
  ram_blocks.assign(chip::RAM_SIZE / kWord, nullptr);
  check(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc), "uc_open");
  engine.reset(uc);
  check(uc_ctl_set_cpu_model(uc, UC_CPU_ARM_TI925T), "ARMv4T core");
  map_memory();
  install_hooks();
  board.enable_clock();
}

void Emulator::Impl::map_memory() {
  // Pages holding code are plain memory (fast); the rest of flash goes through a callback so
  // that table reads pay the accelerator's data timing and writes are seen.
  std::vector<Range> code = image.code();
  code.push_back({0, kPage});  // the vectors, whatever their section says
  std::uint32_t page = 0;
  while (page < chip::FLASH_SIZE) {
    const bool is_code = overlaps(code, page, page + kPage);
    std::uint32_t end = page + kPage;
    while (end < chip::FLASH_SIZE && overlaps(code, end, end + kPage) == is_code) end += kPage;
    if (is_code) {
      check(uc_mem_map(uc, page, end - page, UC_PROT_READ | UC_PROT_EXEC), "map flash");
      check(uc_mem_write(uc, page, flash.data() + page, end - page), "load flash");
    } else {
      Window& w = windows.emplace_back(Window{this, page});
      check(uc_mmio_map(uc, page, end - page, flash_read, &w, flash_write, &w), "map flash");
    }
    page = end;
  }
  check(uc_mem_map(uc, chip::RAM_BASE, chip::RAM_SIZE, UC_PROT_ALL), "map RAM");
  for (const Segment& s : image.segments()) {
    if (s.addr >= chip::RAM_BASE) {
      check(uc_mem_write(uc, s.addr, s.bytes.data(), s.bytes.size()), "load RAM");
    }
  }
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

void Emulator::Impl::install_hooks() {
  uc_hook h;
  check(uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(hook_block), this, 1, 0),
        "block hook");
  check(uc_hook_add(uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(hook_invalid), this, 1, 0),
        "memory hook");
  check(uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(hook_interrupt), this, 1, 0),
        "interrupt hook");
}

// ---- blocks and their cost ----

Block Emulator::Impl::decode(std::uint32_t addr, std::uint32_t size) const {
  const std::uint32_t insns = std::max(size, kWord) / kWord;
  std::vector<std::uint32_t> words(insns);
  if (uc_mem_read(uc, addr, words.data(), insns * kWord) != UC_ERR_OK) words.assign(insns, 0);
  Block b = decode_block(addr, words);
  b.in_flash = addr < chip::FLASH_BASE + chip::FLASH_SIZE;
  for (const Range& r : serial) {
    if (r.contains(addr)) b.activity = Activity::Serial;
  }
  return b;
}

Block& Emulator::Impl::block(std::uint32_t addr, std::uint32_t size) {
  Block** slot = nullptr;
  if (addr < chip::FLASH_SIZE) {
    slot = &flash_blocks[addr / kWord];
  } else if (chip::in_region(addr, chip::RAM_BASE, chip::RAM_SIZE)) {
    slot = &ram_blocks[(addr - chip::RAM_BASE) / kWord];
  }
  const std::uint32_t end = addr + std::max(size, kWord);
  // Unicorn may cut a block short (at a run's stop address, say): each length is kept once.
  for (Block* b = slot ? *slot : nullptr; b; b = b->other_length) {
    if (b->end == end) return *b;
  }
  Block& b = blocks.emplace_back(decode(addr, size));
  if (slot) {
    b.other_length = *slot;
    *slot = &b;
  }
  return b;
}

std::uint64_t Emulator::Impl::settle(const std::vector<Dynamic>& items) {
  std::uint64_t clocks = 0;
  const std::uint32_t cpsr = reg(UC_ARM_REG_CPSR);
  for (const Dynamic& d : items) {
    if (d.kind != arm::Multiply::None) {
      clocks += arm::multiplier_cycles(reg(kCoreRegister[d.rs]), d.kind);
    } else if (arm::condition_passed(d.cond, cpsr)) {
      clocks += d.extra;
    }
  }
  return clocks;
}

// Settles what the block that just ran left open; `next` is where execution went on.
void Emulator::Impl::finish_block(std::uint32_t next) {
  Block& b = *current;
  std::uint64_t clocks = 0;
  if (b.exit_conditional && next != b.end) clocks += b.exit_extra;
  if (!b.at_exit.empty()) clocks += settle(b.at_exit);
  charge(clocks, b.activity);
  if (b.writes_sp) check_sp();
}

void Emulator::Impl::on_block(std::uint32_t addr, std::uint32_t size) {
  const bool sequential = current && current->end == addr;
  if (current) finish_block(addr);
  Block& b = block(addr, size);
  std::uint64_t clocks = b.cycles;
  if (b.in_flash) {
    clocks += mam.fetch(b.addr, b.end, sequential);
    for (std::uint32_t lit : b.literals) clocks += mam.read(lit);
  }
  if (!b.at_entry.empty()) clocks += settle(b.at_entry);
  charge(clocks, b.activity);
  counters.instructions += b.insns;
  if (b.vector) {
    fault("exception vector " + sim::hex_word(addr) + " entered" +
              (current ? " from the block at " + where(current->addr) : std::string()),
          addr);
  }
  current = &b;
  if (b.halt) uc_emu_stop(uc);
  if (counters.instructions >= watchdog_deadline) check_watchdog();
}

// ---- checks ----

void Emulator::Impl::fault(const std::string& message, std::uint32_t address) {
  if (faulted) return;
  faulted = true;
  board.report({message, address});
  uc_emu_stop(uc);
}

void Emulator::Impl::check_sp() {
  // Only the main stack counts: start-up switches through the exception modes' own stacks.
  constexpr std::uint32_t kModeMask = 0x1F, kSystem = 0x1F, kUser = 0x10;
  const std::uint32_t mode = reg(UC_ARM_REG_CPSR) & kModeMask;
  if (mode != kSystem && mode != kUser) return;
  const std::uint32_t sp = reg(UC_ARM_REG_SP);
  counters.lowest_sp = std::min(counters.lowest_sp, sp);
  if (sp >= bss_end || sp_reported) return;
  sp_reported = true;
  board.report({"stack overflow: sp " + sim::hex_word(sp) + " below the end of .bss " +
                    sim::hex_word(bss_end) + " after the block at " + where(current->addr),
                sp});
}

void Emulator::Impl::check_watchdog() {
  const std::size_t frames = board.lcd().frames().size();
  if (frames > frames_seen) {
    frames_seen = frames;
    watchdog_deadline = counters.instructions + options.watchdog_instructions;
    return;
  }
  fault("watchdog: no frame completed in " + std::to_string(options.watchdog_instructions) +
            " instructions; stopped at " + where(reg(UC_ARM_REG_PC)),
        0);
}

// The instruction of the running block that accessed `accessed`: registers are current at a
// memory callback, the pc only at the block's start.
std::uint32_t Emulator::Impl::locate(std::uint32_t accessed) const {
  if (!current) return reg(UC_ARM_REG_PC);
  std::uint32_t r[kRegisters];
  for (unsigned i = 0; i < kRegisters; ++i) r[i] = reg(kCoreRegister[i]);
  for (std::uint32_t pc = current->addr; pc < current->end; pc += kWord) {
    std::uint32_t insn = 0;
    if (uc_mem_read(uc, pc, &insn, kWord) != UC_ERR_OK) break;
    const std::uint32_t width_mask = ~3u;  // a narrow access may sit anywhere in the word
    if (auto a = transfer_address(insn, pc, r); a && (*a & width_mask) == (accessed & width_mask)) {
      return pc;
    }
    const bool block_transfer = ((insn >> 25) & 7) == 4;
    if (block_transfer) {
      const std::uint32_t base = r[(insn >> 16) & 0xF];
      const std::uint32_t span = 4 * 16;
      if (accessed + span >= base && accessed <= base + span) return pc;
    }
  }
  return current->addr;
}

// ---- memory callbacks ----

std::uint64_t Emulator::Impl::peripheral_read(std::uint32_t addr, unsigned size) {
  const unsigned wait = chip::in_region(addr, chip::APB_BASE, chip::APB_SIZE) ? kApbWait : 0;
  if (addr == chip::AD0GDR.addr && current) current->activity = Activity::AdcWait;
  const Activity activity = current ? current->activity : Activity::Render;
  charge(wait, activity);
  sync_board();
  const std::size_t before = board.findings().size();
  std::uint32_t v = board.read(addr, size * 8);
  after_board_access(before, addr);
  if (!current || !current->spin) return v;
  // A poll loop goes round here, reading the board at the times the core would, until the
  // value lets it out: the same reads, clocks and instruction count as running each pass.
  const Block& b = *current;
  const std::uint32_t cpsr = reg(UC_ARM_REG_CPSR);
  const std::uint64_t pass = b.exit_extra + b.cycles + wait;
  const std::size_t findings_before = board.findings().size();
  while (spin_continues(b, v, cpsr) && counters.instructions < watchdog_deadline) {
    skip_quiet_passes(addr, pass, b.insns, activity);
    charge(pass, activity);
    counters.instructions += b.insns;
    sync_board();
    v = board.read(addr, size * 8);
  }
  after_board_access(findings_before, addr);
  return v;
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
  const std::uint64_t budget = (watchdog_deadline - counters.instructions) / insns;
  n = std::min(n, budget);
  charge(n * pass, activity);
  counters.instructions += n * insns;
}

void Emulator::Impl::peripheral_write(std::uint32_t addr, unsigned size, std::uint32_t value) {
  if (chip::in_region(addr, chip::APB_BASE, chip::APB_SIZE)) {
    charge(kApbWait, current ? current->activity : Activity::Render);
  }
  sync_board();
  const std::size_t before = board.findings().size();
  board.write(addr, size * 8, value);
  after_board_access(before, addr);
  if (addr == chip::S0SPDR.addr && frame_limit_reached()) uc_emu_stop(uc);
  if (addr == chip::MAMCR.addr || addr == chip::MAMTIM.addr) {
    const std::uint8_t cr = board.mamcr(), tim = board.mamtim();
    if (cr != mamcr || tim != mamtim) {
      mamcr = cr;
      mamtim = tim;
      mam.configure(cr, tim);
    }
  }
}

// A board check that failed names the code that made the access.
void Emulator::Impl::after_board_access(std::size_t before, std::uint32_t accessed) {
  if (board.findings().size() == before) return;
  board.locate_findings(before, where(locate(accessed)));
}

std::uint64_t Emulator::Impl::mmio_read(uc_engine*, std::uint64_t offset, unsigned size, void* w) {
  auto* win = static_cast<Window*>(w);
  return win->self->peripheral_read(win->base + static_cast<std::uint32_t>(offset), size);
}

void Emulator::Impl::mmio_write(uc_engine*, std::uint64_t offset, unsigned size,
                                std::uint64_t value, void* w) {
  auto* win = static_cast<Window*>(w);
  win->self->peripheral_write(win->base + static_cast<std::uint32_t>(offset), size,
                              static_cast<std::uint32_t>(value));
}

std::uint64_t Emulator::Impl::flash_read(uc_engine*, std::uint64_t offset, unsigned size, void* w) {
  auto* win = static_cast<Window*>(w);
  Impl& self = *win->self;
  const std::uint32_t addr = win->base + static_cast<std::uint32_t>(offset);
  self.charge(self.mam.read(addr), self.current ? self.current->activity : Activity::Render);
  std::uint64_t v = 0;
  for (unsigned i = 0; i < size && addr + i < chip::FLASH_SIZE; ++i) {
    v |= std::uint64_t{self.flash[addr + i]} << (8 * i);
  }
  return v;
}

void Emulator::Impl::flash_write(uc_engine*, std::uint64_t offset, unsigned size,
                                 std::uint64_t value, void* w) {
  auto* win = static_cast<Window*>(w);
  Impl& self = *win->self;
  const std::uint32_t addr = win->base + static_cast<std::uint32_t>(offset);
  self.fault("write to flash at " + sim::hex_word(addr) + " (" + std::to_string(size * 8) +
                 " bits, value " + sim::hex_word(static_cast<std::uint32_t>(value)) +
                 ") by code at " + self.where(self.locate(addr)),
             addr);
}

void Emulator::Impl::hook_block(uc_engine*, std::uint64_t addr, std::uint32_t size, void* self) {
  static_cast<Impl*>(self)->on_block(static_cast<std::uint32_t>(addr), size);
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
                 a);
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
  self.fault(what + sim::hex_word(a) + " (" + std::to_string(size * 8) + " bits) by code at " +
                 self.where(self.locate(a)),
             a);
  return false;
}

void Emulator::Impl::hook_interrupt(uc_engine*, std::uint32_t intno, void* s) {
  Impl& self = *static_cast<Impl*>(s);
  const std::uint32_t pc = self.reg(UC_ARM_REG_PC);
  if (intno == kExceptionSwi) {
    self.fault("software interrupt (SWI) taken at " + self.where(pc - kWord), pc - kWord);
  } else {
    self.fault("exception " + std::to_string(intno) + " taken near " + self.where(pc), pc);
  }
}

// ---- runs ----

void Emulator::Impl::reset_run() {
  current = nullptr;
  faulted = false;
  sp_reported = false;
  frames_seen = run_first_frame = board.lcd().frames().size();
  watchdog_deadline = counters.instructions + options.watchdog_instructions;
}

void Emulator::Impl::run(std::uint32_t begin, std::uint32_t until) {
  reset_run();
  const uc_err err = uc_emu_start(uc, begin, until, 0, 0);
  const std::uint32_t pc = reg(UC_ARM_REG_PC);
  if (current) finish_block(pc);
  current = nullptr;
  sync_board();
  if (err == UC_ERR_OK || faulted) return;
  std::uint32_t insn = 0;
  uc_mem_read(uc, pc, &insn, kWord);
  if (err == UC_ERR_INSN_INVALID) {
    fault("undefined instruction " + sim::hex_word(insn) + " at " + where(pc), pc);
  } else if (err == UC_ERR_EXCEPTION) {
    fault("exception taken at " + where(pc) + " (instruction " + sim::hex_word(insn) + ")", pc);
  } else {
    fault(std::string("emulation stopped: ") + uc_strerror(err) + " at " + where(pc), pc);
  }
}

bool Emulator::Impl::reach_main() {
  set_reg(UC_ARM_REG_CPSR, kResetCpsr);
  run(chip::FLASH_BASE, main_addr);
  if (faulted || reg(UC_ARM_REG_PC) != main_addr) {
    if (!faulted) fault("start-up did not reach main at " + sim::hex_word(main_addr), main_addr);
    return false;
  }
  stack_top = reg(UC_ARM_REG_SP);
  main_cpsr = reg(UC_ARM_REG_CPSR);
  started = true;
  return true;
}

// ---- Emulator ----

Emulator::Emulator(const std::string& elf_path, sim::Board& board, const Options& options)
    : impl_(std::make_unique<Impl>(elf_path, board, options)) {}

Emulator::~Emulator() = default;

void Emulator::call(std::string_view symbol, std::initializer_list<std::int32_t> args) {
  Impl& m = *impl_;
  const auto addr = m.image.find(symbol);
  if (!addr) throw std::invalid_argument("the image has no symbol " + std::string(symbol));
  if (args.size() > 4) throw std::invalid_argument("at most four arguments fit in r0..r3");
  if (!m.started && !m.reach_main()) return;
  int i = 0;
  for (std::int32_t a : args) m.set_reg(kCoreRegister[i++], static_cast<std::uint32_t>(a));
  m.set_reg(UC_ARM_REG_SP, m.stack_top);
  m.set_reg(UC_ARM_REG_LR, kReturnPage);
  m.set_reg(UC_ARM_REG_CPSR, m.main_cpsr);
  m.run(*addr, kReturnPage);
}

void Emulator::run_main() {
  // In two legs, so that the main stack's top is known as it is for calls.
  Impl& m = *impl_;
  if (m.reach_main()) m.run(m.main_addr, kReturnPage);
}

bool Emulator::has(std::string_view symbol) const {
  return impl_->image.find(symbol).has_value();
}

const Counters& Emulator::counters() const {
  return impl_->counters;
}
std::uint32_t Emulator::stack_top() const {
  return impl_->stack_top;
}
std::uint32_t Emulator::flash_used() const {
  return impl_->flash_used;
}
std::uint32_t Emulator::ram_used() const {
  return impl_->ram_used;
}
std::uint32_t Emulator::stack_capacity() const {
  return impl_->stack_top > impl_->bss_end ? impl_->stack_top - impl_->bss_end : 0;
}

std::unique_ptr<runner::Engine> make_emulated_engine(const std::string& elf_path, sim::Board& board,
                                                     const Options& options) {
  return std::make_unique<Emulator>(elf_path, board, options);
}

}  // namespace emu
