// Loading the image, the runs (to main, then calls by symbol) and the public interface; the
// emulator's other jobs have files of their own (emulator_impl.h lists them).
#include "emu/emulator.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "emulator_impl.h"

namespace emu {
namespace {

constexpr std::uint32_t kResetCpsr = 0xD3;  // supervisor mode, IRQ and FIQ masked

// A file is refused before anything starts (a debugger's port, say) when it lacks main.
ElfImage load_with_main(const std::string& path) {
  ElfImage image = ElfImage::load(path);
  if (!image.find("main")) throw BadImage(path + ": no symbol main");
  return image;
}

// Where main's last call returns to, in main: a called function's return address there makes
// it a frame of main for a debugger's backtrace, which ends at main. None in a main without a
// call (or an image without symbols).
std::optional<std::uint32_t> return_into_main(const ElfImage& image,
                                              const std::vector<std::uint8_t>& flash) {
  const auto main = image.extent("main");
  if (!main || main->end > flash.size()) return std::nullopt;
  std::optional<std::uint32_t> after;
  for (std::uint32_t at = main->begin & ~(kWord - 1); at + kWord <= main->end; at += kWord) {
    std::uint32_t word = 0;
    std::memcpy(&word, flash.data() + at, kWord);
    const arm::Instruction i = arm::decode_instruction(word);
    if (i.kind == arm::Class::Branch && i.link && i.cond == arm::kAlways) after = at + kWord;
  }
  return after;
}

}  // namespace

Emulator::Impl::Impl(ElfImage loaded, sim::Board& b, const Options& o)
    : board(b), options(o), image(std::move(loaded)) {
  const std::string& path = image.name();
  loading.elf_path = path;
  flash.bytes.assign(chip::FLASH_SIZE, 0xFF);  // erased flash reads as ones
  flash.mam = Mam(o.timing.mam);
  for (const Segment& s : image.segments()) {
    // In 64 bits: a segment near the top of the address space must not wrap into flash.
    const std::uint64_t end = std::uint64_t{s.addr} + s.bytes.size();
    if (s.addr >= chip::FLASH_BASE && end <= chip::FLASH_BASE + chip::FLASH_SIZE) {
      std::copy(s.bytes.begin(), s.bytes.end(), flash.bytes.begin() + (s.addr - chip::FLASH_BASE));
    } else if (!(s.addr >= chip::RAM_BASE && end <= chip::RAM_BASE + chip::RAM_SIZE)) {
      throw BadImage(path + ": a segment at " + sim::hex_word(s.addr) +
                     " lies outside flash and RAM");
    }
  }
  lay_out();
  blocks.in_flash.assign(chip::FLASH_SIZE / kWord, nullptr);
  blocks.in_ram.assign(chip::RAM_SIZE / kWord, nullptr);
  check(uc_open(UC_ARCH_ARM, UC_MODE_ARM, &uc), "uc_open");
  engine.reset(uc);
  check(uc_ctl_set_cpu_model(uc, UC_CPU_ARM_TI925T), "ARMv4T core");
  map_memory();
  // Raw flash without symbols holds its tables among the code: searched whole, its data would
  // give hundreds of hooks, each run through whenever one fires; its blocks settle alone.
  for (const Range& r : image.code()) {
    if (layout.main && r.end <= chip::FLASH_BASE + chip::FLASH_SIZE) settle_in_place(r);
  }
  install_hooks();
  board.enable_clock();
  if (o.gdb_port != 0) attach_debugger(o.gdb_port);
}

void Emulator::Impl::lay_out() {
  layout = {};
  layout.main = image.find("main");
  layout.bss_end = image.find("_bss_end").value_or(chip::RAM_BASE);
  for (const char* name : {"sendlcd", "senddisp"}) {
    if (auto r = image.extent(name)) layout.serial.push_back(*r);
  }
  layout.data = std::min(image.find("_data").value_or(chip::RAM_BASE), layout.bss_end);
  layout.ram_used = layout.bss_end - layout.data;
  for (const Segment& s : image.segments()) {
    const std::uint32_t end = s.addr + static_cast<std::uint32_t>(s.bytes.size());
    if (end <= chip::FLASH_BASE + chip::FLASH_SIZE)
      layout.flash_used = std::max(layout.flash_used, end);
  }
  layout.return_to = return_into_main(image, flash.bytes).value_or(kReturnPage);
}

void Emulator::Impl::install_hooks() {
  uc_hook h;
  check(uc_hook_add(uc, &h, UC_HOOK_BLOCK, reinterpret_cast<void*>(hook_block), this, 1, 0),
        "block hook");
  check(uc_hook_add(uc, &h, UC_HOOK_MEM_INVALID, reinterpret_cast<void*>(hook_invalid), this, 1, 0),
        "memory hook");
  check(uc_hook_add(uc, &h, UC_HOOK_MEM_READ | UC_HOOK_MEM_WRITE,
                    reinterpret_cast<void*>(hook_unaligned), this, 1, 0),
        "unaligned transfer hook");
  check(uc_hook_add(uc, &h, UC_HOOK_INTR, reinterpret_cast<void*>(hook_interrupt), this, 1, 0),
        "interrupt hook");
}

void Emulator::Impl::reset_run() {
  current = nullptr;
  // A bound in board time ends a run that completes no frame; the watchdog is not needed then.
  const std::uint64_t watchdog =
      board.time_limit() ? kNoTimeLimit : counters.instructions + options.watchdog_instructions;
  checks = {.watchdog_deadline = watchdog, .frames_seen = board.lcd().frame_count()};
  update_time_limit();
}

void Emulator::Impl::run(std::uint32_t begin, std::uint32_t until) {
  reset_run();
  uc_err err = debug.server ? run_debugged(begin, until) : uc_emu_start(uc, begin, until, 0, 0);
  if (escaped) {
    // Stopped by what a hook threw: the run ends with it, the board where the hook left it.
    finish_unaligned();
    current = nullptr;
    rethrow_escaped();
  }
  // Reset by the debugger, the program runs on to its halt, past whatever end this run had.
  if (loading.rebooted && until != kReturnPage && err == UC_ERR_OK && !checks.faulted &&
      !debug.killed && debug.server && reg(UC_ARM_REG_PC) == until && !board.stop_requested()) {
    err = run_debugged(until, kReturnPage);
  }
  finish_unaligned();  // one that ended the run before the core went on
  const std::uint32_t pc = reg(UC_ARM_REG_PC);
  if (current) finish_block(pc);
  current = nullptr;
  if (profile) profile->end_run();
  sync_board();
  if (err == UC_ERR_OK || checks.faulted) {
    if (checks.faulted) report_fault_to_debugger();
    return;
  }
  std::uint32_t insn = 0;
  uc_mem_read(uc, pc, &insn, kWord);
  if (err == UC_ERR_INSN_INVALID) {
    fault("undefined instruction " + sim::hex_word(insn) + " at " + where(pc), pc, Signal::Illegal,
          pc);
  } else if (err == UC_ERR_EXCEPTION) {
    fault("exception taken at " + where(pc) + " (instruction " + sim::hex_word(insn) + ")", pc,
          Signal::Segv, pc);
  } else {
    fault(std::string("emulation stopped: ") + uc_strerror(err) + " at " + where(pc), pc,
          Signal::Segv, pc);
  }
  report_fault_to_debugger();
}

bool Emulator::Impl::reach_main() {
  set_reg(UC_ARM_REG_CPSR, kResetCpsr);
  const std::uint32_t main = *layout.main;
  run(chip::FLASH_BASE, main);
  if (loading.rebooted) return false;  // it ran from a debugger's reset to its end
  if (checks.faulted || reg(UC_ARM_REG_PC) != main) {
    // A stop asked for (the board's time bound, say) is no failure of start-up.
    if (!checks.faulted && !debug.killed && !board.stop_requested()) {
      fault("start-up did not reach main at " + sim::hex_word(main), main, Signal::Segv,
            reg(UC_ARM_REG_PC));
    }
    return false;
  }
  at_main = {.reached = true, .stack_top = reg(UC_ARM_REG_SP), .cpsr = reg(UC_ARM_REG_CPSR)};
  // Code that start-up copied into RAM is there now: hooked, and translated and decoded again
  // should start-up have run any of it.
  for (const Range& code : image.code()) {
    if (!chip::in_region(code.begin, chip::RAM_BASE, chip::RAM_SIZE)) continue;
    const Range r{code.begin, std::clamp(code.end, code.begin, chip::RAM_BASE + chip::RAM_SIZE)};
    settle_in_place(r);
    uc_ctl_remove_cache(uc, r.begin, r.end);
    const auto first = blocks.in_ram.begin() + (r.begin - chip::RAM_BASE) / kWord;
    std::fill(first, first + (r.end - r.begin) / kWord, nullptr);
  }
  return true;
}

Emulator::Emulator(const std::string& elf_path, sim::Board& board, const Options& options)
    : Emulator(load_with_main(elf_path), board, options) {}

Emulator::Emulator(ElfImage image, sim::Board& board, const Options& options)
    : impl_(std::make_unique<Impl>(std::move(image), board, options)) {}

Emulator::~Emulator() {
  impl_->finish_debugging();
}

// The halt loop spins on while UART0 sends what it still holds, as on the chip, within the
// board's time bound; the clocks it spins are not the program's and are not counted.
void Emulator::Impl::let_transmitter_finish() {
  if (checks.faulted || debug.killed || board.stop_requested()) return;
  while (const std::optional<std::uint64_t> done = board.character_done_at()) {
    const std::uint64_t at = *done - board.cclk_cycles() + board_time;
    sync_board(std::min(at, checks.time_limit_at));
    if (at >= checks.time_limit_at) return;
  }
}

// The run is over: the debugger hears that the program exited, with status 1 after findings.
void Emulator::Impl::finish_debugging() {
  if (debug.server) debug.server->exited(board.findings().empty() ? 0 : 1);
  end_debugging();
}

void Emulator::call(std::string_view symbol, std::initializer_list<std::int32_t> args) {
  Impl& m = *impl_;
  const auto addr = m.image.find(symbol);
  if (!addr) throw std::invalid_argument("the image has no symbol " + std::string(symbol));
  if (args.size() > 4) throw std::invalid_argument("at most four arguments fit in r0..r3");
  // Asked to stop (a viewer closed its window): the run ends here, as on a board without a clock.
  if (m.board.stop_requested()) throw sim::Stopped("stopped on request");
  // Reset by the debugger, the program ran from its reset vector to its end: no call follows.
  if (m.loading.rebooted) throw sim::Stopped("the program ran from a reset to its end");
  if (!m.at_main.reached && !m.reach_main()) return;
  int i = 0;
  for (std::int32_t a : args) m.set_reg(kCoreRegister[i++], static_cast<std::uint32_t>(a));
  m.set_reg(UC_ARM_REG_SP, m.at_main.stack_top);
  m.set_reg(UC_ARM_REG_LR, m.layout.return_to);
  m.set_reg(UC_ARM_REG_CPSR, m.at_main.cpsr);
  m.run(*addr, m.layout.return_to);
}

void Emulator::run_main() {
  // In two legs, so that the main stack's top is known as it is for calls.
  Impl& m = *impl_;
  if (!m.layout.main) {
    // Raw flash: no main to stop at on the way, and no main stack top to learn there.
    m.set_reg(UC_ARM_REG_CPSR, kResetCpsr);
    m.run(chip::FLASH_BASE, kReturnPage);
  } else if (m.reach_main()) {
    m.run(*m.layout.main, kReturnPage);
  }
  m.let_transmitter_finish();
  m.finish_debugging();  // the halt loop ends the program
}

bool Emulator::has(std::string_view symbol) const {
  return impl_->image.find(symbol).has_value();
}

void Emulator::interrupt() noexcept {
  impl_->interrupted.store(true, std::memory_order_relaxed);
}

std::string Emulator::location() const {
  return impl_->where(impl_->reg(UC_ARM_REG_PC));
}

const Counters& Emulator::counters() const {
  return impl_->counters;
}

void Emulator::record_profile() {
  Impl& m = *impl_;
  // Code is read where no callback sees it: flash as loaded, RAM as it is now.
  m.profile = std::make_unique<Profile>([&m](std::uint32_t addr) {
    std::uint32_t word = 0;
    if (addr < chip::FLASH_SIZE) {
      std::memcpy(&word, m.flash.bytes.data() + (addr & ~(kWord - 1)), kWord);
    } else if (chip::in_region(addr, chip::RAM_BASE, chip::RAM_SIZE)) {
      uc_mem_read(m.uc, addr, &word, kWord);
    }
    return word;
  });
}

std::string Emulator::write_profile(const std::string& path, const std::string& command) const {
  if (!impl_->profile) throw std::runtime_error("no profile recorded");
  impl_->profile->write(path, impl_->image, command);
  return std::to_string(impl_->counters.cycles) + " clocks, " +
         std::to_string(impl_->counters.instructions) + " instructions";
}

std::uint32_t Emulator::stack_top() const {
  return impl_->at_main.stack_top;
}
std::uint32_t Emulator::flash_used() const {
  return impl_->layout.flash_used;
}
std::uint32_t Emulator::ram_used() const {
  return impl_->layout.ram_used;
}
std::uint32_t Emulator::stack_capacity() const {
  const std::uint32_t top = impl_->at_main.stack_top, bss_end = impl_->layout.bss_end;
  return top > bss_end ? top - bss_end : 0;
}

std::unique_ptr<runner::Engine> make_emulated_engine(const std::string& elf_path, sim::Board& board,
                                                     const Options& options) {
  return std::make_unique<Emulator>(elf_path, board, options);
}

std::unique_ptr<runner::Engine> make_emulated_engine(ElfImage image, sim::Board& board,
                                                     const Options& options) {
  return std::make_unique<Emulator>(std::move(image), board, options);
}

}  // namespace emu
