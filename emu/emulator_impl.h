// The emulator's state, shared by the files that do its jobs: emulator.cpp (loading the image
// and the runs), memory_map.cpp, peripherals.cpp, polls.cpp, cost.cpp, faults.cpp and
// unaligned.cpp.
#pragma once

#include <unicorn/unicorn.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "emu/arm_decode.h"
#include "emu/block.h"
#include "emu/elf_image.h"
#include "emu/emulator.h"
#include "emu/flash.h"
#include "emu/gdb_server.h"
#include "emu/mam.h"
#include "emu/profile.h"
#include "hw/lpc2138.h"
#include "sim/board.h"
#include "sim/format.h"

namespace emu {

namespace chip = lpc2138;

inline constexpr std::uint32_t kWord = 4;
inline constexpr std::uint64_t kNoTimeLimit = ~std::uint64_t{0};
// A page outside the LPC2138's map that a called function returns into when main makes no
// call to return into; the run stops there.
inline constexpr std::uint32_t kReturnPage = 0xF0000000;
inline constexpr unsigned kRegisters = 16;
inline constexpr int kCoreRegister[kRegisters] = {
    UC_ARM_REG_R0,  UC_ARM_REG_R1, UC_ARM_REG_R2, UC_ARM_REG_R3, UC_ARM_REG_R4,  UC_ARM_REG_R5,
    UC_ARM_REG_R6,  UC_ARM_REG_R7, UC_ARM_REG_R8, UC_ARM_REG_R9, UC_ARM_REG_R10, UC_ARM_REG_R11,
    UC_ARM_REG_R12, UC_ARM_REG_SP, UC_ARM_REG_LR, UC_ARM_REG_PC};

// How a single transfer touched memory, where the one who saw it knows.
struct Access {
  unsigned size;  // bytes
  bool write;
};

struct Emulator::Impl {
  // A flash or peripheral window as Unicorn's MMIO callbacks see it.
  struct Window {
    Impl* self;
    std::uint32_t base;
  };
  // Where the image puts things, from its symbols and segments.
  struct Layout {
    std::optional<std::uint32_t> main;    // none in an image of raw flash bytes
    std::uint32_t data = 0, bss_end = 0;  // .data and .bss lie between
    std::uint32_t flash_used = 0, ram_used = 0;
    std::vector<Range> serial;  // sendlcd, senddisp: their clocks are the link's
    // Where a called function returns to, and the call ends: after a call in main, or the
    // return page.
    std::uint32_t return_to = kReturnPage;
  };
  // The flash as loaded and the accelerator in front of it.
  struct Flash {
    std::vector<std::uint8_t> bytes;  // the data path of pages without code reads these
    Mam mam;
    // What mam was last configured with; the reset values to begin with.
    std::uint8_t mamcr = chip::MAMCR_OFF, mamtim = chip::MAMTIM_MAX;
    std::vector<uc_hook> code_read_hooks;  // of the code pages as mapped now
  };
  // An instruction settled as it runs, as its code hook sees it.
  struct InPlaceHook {
    Impl* self;
    Dynamic cost;
  };
  // Every block decoded so far, found again by its start word, and the instructions settled in
  // place, which blocks leave out.
  struct Blocks {
    std::deque<Block> all;
    std::vector<Block*> in_flash, in_ram;  // by start word
    std::vector<std::uint32_t> in_place;   // sorted addresses
    std::deque<InPlaceHook> in_place_hooks;
    std::vector<uc_hook> in_place_ids;
  };
  // What the checks of the current run (a call or run_main) have seen.
  struct Checks {
    bool faulted = false;  // a fault has been reported and the run stops
    bool sp_reported = false;
    std::uint64_t watchdog_deadline = 0;  // in instructions
    // The board's time bound as a clock count (counters.cycles), at the clock's present rate.
    std::uint64_t time_limit_at = kNoTimeLimit;
    std::size_t frames_seen = 0;
    // How a debugger hears of the fault: its signal, and the instruction to show.
    Signal fault_signal = Signal::Segv;
    std::uint32_t fault_pc = 0;
  };
  // A debugger attached through GDB's remote protocol, and what it asked for (debug.cpp).
  struct Debug {
    struct Watch {
      WatchKind kind;
      std::uint32_t addr, length;
    };
    std::unique_ptr<GdbServer> server;
    std::map<std::uint32_t, uc_hook> breakpoints;
    std::vector<Watch> watches;
    std::vector<uc_hook> watch_hooks;
    bool stop_first = false;  // before the next instruction: the start, or a step's end
    bool step = false;
    bool killed = false;                       // by the debugger: the run ends where it stopped
    bool patching = false;                     // the debugger writes flash, not the program
    std::optional<StopReason> hit;             // what a hook stopped the core for
    std::uint32_t accessed = 0;                // the watched address a hit touched
    Access access{};                           // and how
    std::optional<std::uint32_t> pass_break;   // a breakpoint resumed from: passed once
    std::optional<std::uint32_t> charged_at;   // resuming here: its block is already counted
    std::vector<std::uint8_t> undo;            // what a watched store overwrote
    std::optional<std::uint32_t> resume_from;  // where the debugger let the program go on
    std::optional<Range> step_range;           // GDB's, for the step it asked for
    std::optional<Range> range;                // the step running: on while the pc is in it
    std::optional<uc_hook> range_end;          // the code hook at its end
    std::unique_ptr<SourceLines> lines;        // the image's, for findings on the console
    unsigned blocks_since_poll = 0;
  };
  // An unaligned transfer made as the ARM7TDMI-S makes it, while Unicorn's own access of it ends
  // (unaligned.cpp).
  struct Unaligned {
    bool swallow = false;  // Unicorn's pieces of the access reach no peripheral or flash
    std::uint32_t restore_at = 0;
    std::vector<std::uint8_t> restore;  // RAM as the transfer left it, where Unicorn's store lands
    bool hooked = false;                // the block hook that ends it, added on first use
    // The last instruction made here, and the pass through its block (the instruction count as
    // the block began): the next one in the same pass is searched for after it.
    const Block* block = nullptr;
    std::uint64_t pass = 0;
    std::uint32_t last = 0;
    std::set<std::uint32_t> reported;  // instructions already named for a peripheral access
  };
  // The running block on its own time line: each instruction starts at start + its fixed
  // offset (Block::starts) + late, where late holds what the block's instructions before it
  // took beyond their fixed costs (the accelerator's stalls, the APB's waits, settled parts).
  // The block's whole fixed cost is charged as it starts, the rest as it becomes known.
  struct Running {
    std::uint64_t start = 0;
    std::uint64_t begun = 0;  // the clock as the block began, before its first fetch's stall
    std::uint64_t late = 0;
    std::size_t marks = 0;                   // of the block's marks, those taken into late
    std::vector<std::uint64_t> entry;        // what each at_entry item settled to
    std::uint64_t exit = 0;                  // at_exit items settled so far
    std::uint32_t in_place_at = 0xFFFFFFFF;  // an instruction settled in place, and its clocks,
    std::uint64_t in_place = 0;              // which come after its own first cycles
    std::size_t transfer = 0;                // the load or store that made the last access
    unsigned words = 0;                      // and the accesses it has made
    std::uint32_t at = 0;                    // its address
  };
  // What a debugger's `load` and `monitor reset` changed (load_reset.cpp).
  struct Loading {
    std::unique_ptr<emu::Flash> cells;        // the flash a download programs, as the chip's
    std::unique_ptr<FlashDownload> download;  // one under way
    bool changed = false;                     // by a download since the image was laid out
    bool downloaded = false;  // the flash is no longer the session's image as lpc21isp writes it
    bool rebooted = false;    // the program runs from the reset vector to its halt, whatever ran
    std::string elf_path;     // the session's image, which the flash may hold again after a load
    std::uint64_t stopwatch = 0;  // the clock `monitor cycles` counts from
  };
  // The state start-up leaves at main, which every call starts from.
  struct AtMain {
    bool reached = false;
    std::uint32_t stack_top = 0;
    std::uint32_t cpsr = 0;
  };

  Impl(ElfImage loaded, sim::Board& b, const Options& o);
  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

  // Runs the body of a hook Unicorn calls. An exception (an output that cannot be written as
  // a frame completes, say) cannot unwind through Unicorn's C frames: it is kept, the core is
  // stopped, and run() throws it again once uc_emu_start has returned. Until then the hooks
  // that Unicorn still calls do nothing and answer reads with 0.
  template <typename Body>
  auto shielded(Body&& body) noexcept -> decltype(body()) {
    using Result = decltype(body());
    if (escaped) return Result();
    try {
      return body();
    } catch (...) {
      escaped = std::current_exception();
      uc_emu_stop(uc);
      return Result();
    }
  }
  // Throws what a hook kept, if one did.
  void rethrow_escaped() {
    if (escaped) std::rethrow_exception(std::exchange(escaped, nullptr));
  }

  void check(uc_err err, const char* what) const {
    if (err != UC_ERR_OK) throw std::runtime_error(std::string(what) + ": " + uc_strerror(err));
  }
  std::uint32_t reg(int id) const {
    std::uint32_t v = 0;
    uc_reg_read(uc, id, &v);
    return v;
  }
  void set_reg(int id, std::uint32_t v) { uc_reg_write(uc, id, &v); }
  // r[i] for each bit i of mask, in one call.
  void read_registers(std::uint32_t mask, std::uint32_t* r) const;

  // Runs (emulator.cpp).
  void install_hooks();
  void reset_run();
  void run(std::uint32_t begin, std::uint32_t until);
  bool reach_main();
  void let_transmitter_finish();

  // Memory map (memory_map.cpp).
  void map_memory();
  void map_flash();  // code pages of the image as plain memory, the rest behind callbacks
  void load_ram();   // RAM as at power-up: zeros (or the fill) and the image's RAM bytes
  static std::uint64_t mmio_read(uc_engine*, std::uint64_t offset, unsigned size, void* w);
  static void mmio_write(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value,
                         void* w);
  static void hook_code_read(uc_engine*, uc_mem_type, std::uint64_t addr, int, std::int64_t,
                             void* self);
  // A data read of flash: the accelerator's answer at the reading instruction's clock.
  void flash_data_read(std::uint32_t addr, unsigned size);
  static std::uint64_t flash_read(uc_engine*, std::uint64_t offset, unsigned size, void* w);
  static void flash_write(uc_engine*, std::uint64_t offset, unsigned size, std::uint64_t value,
                          void* w);
  void flash_store_fault(std::uint32_t addr, unsigned size, std::uint32_t value, std::uint32_t at);

  // Unaligned transfers (unaligned.cpp).
  static void hook_unaligned(uc_engine*, uc_mem_type type, std::uint64_t addr, int size,
                             std::int64_t value, void* self);
  static void hook_unaligned_done(uc_engine*, std::uint64_t addr, std::uint32_t size, void* self);
  void unaligned_access(std::uint32_t accessed, unsigned size, bool write);
  std::optional<std::uint32_t> unaligned_instruction(std::uint32_t accessed, unsigned size,
                                                     bool write, const std::uint32_t* r,
                                                     std::uint32_t cpsr) const;
  std::uint32_t unaligned_single(const arm::Instruction& i, std::uint32_t pc,
                                 const std::uint32_t* r, std::uint32_t offset);
  std::uint32_t unaligned_block(const arm::Instruction& i, std::uint32_t pc,
                                const std::uint32_t* r);
  std::uint32_t bus_read(std::uint32_t addr, unsigned size);
  void bus_write(std::uint32_t addr, unsigned size, std::uint32_t value, std::uint32_t pc);
  void finish_unaligned();

  // Peripheral accesses (peripherals.cpp) and the poll loops among them (polls.cpp).
  std::uint64_t peripheral_read(std::uint32_t addr, unsigned size);
  void peripheral_write(std::uint32_t addr, unsigned size, std::uint32_t value);
  std::uint32_t finish_poll(std::uint32_t addr, unsigned size, std::uint32_t value, unsigned wait);
  std::uint64_t quiet_passes(std::uint64_t done, std::uint64_t read_at, std::uint64_t pass) const;
  void sync_board() { sync_board(counters.cycles); }
  // The board brought to `clock`; never back (a debugger's stop has seen the block's end).
  void sync_board(std::uint64_t clock) {
    if (clock <= board_time) return;
    board.advance(clock - board_time);
    board_time = clock;
  }
  // The clock at which the running block's access to `accessed` reaches memory: the data cycle
  // of the load or store that made it (running.at), everything before it caught up.
  std::uint64_t access_clock(std::uint32_t accessed, Access how);
  // Stalls and waits of the running block, charged as they happen.
  void delay(std::uint64_t clocks) {
    charge(clocks, activity());
    running.late += clocks;
  }

  // Blocks and their cost (cost.cpp).
  Block& block(std::uint32_t addr, std::uint32_t size);
  Block decode(std::uint32_t addr, std::uint32_t size) const;
  void on_block(std::uint32_t addr, std::uint32_t size);
  std::uint64_t settle(const Dynamic& d, std::uint32_t cpsr) const;
  void settle_in_place(const Range& code);
  static void hook_in_place(uc_engine*, std::uint64_t addr, std::uint32_t size, void* hook);
  // Returns whether the core went on to the next instruction in sequence.
  bool finish_block(std::uint32_t next);
  void begin_block(Block& b, bool sequential);
  // Takes the marks of the instructions before i into late, and i's own fetch.
  void catch_up(std::uint32_t i) {
    if (running.marks < current->marks.size()) take_marks(i);
  }
  void take_marks(std::uint32_t i);
  std::uint64_t clock_of(std::uint32_t i) const {
    const std::uint64_t own = running.in_place_at == i ? running.in_place : 0;
    return running.start + current->starts[i] + running.late - own;
  }
  // Which load or store of the running block made an access: its index and its word.
  std::pair<std::uint32_t, unsigned> locate_transfer(std::uint32_t accessed, Access how);
  void charge(std::uint64_t clocks, Activity a) {
    counters.cycles += clocks;
    counters.by_activity[static_cast<std::size_t>(a)] += clocks;
  }
  // A wait just charged for an access, to the instruction that made it.
  void profile_wait(Event kind, std::uint64_t clocks) {
    if (!profile || clocks == 0) return;
    profile->wait_at(current ? running.at : reg(UC_ARM_REG_PC), kind, clocks);
  }
  Activity activity() const { return current ? current->activity : Activity::Render; }
  static void hook_block(uc_engine*, std::uint64_t addr, std::uint32_t size, void* self);

  // Faults and findings (faults.cpp).
  // Ends the run with a finding; a debugger sees `signal` at the instruction `pc`.
  void fault(const std::string& message, std::uint32_t address, Signal signal, std::uint32_t pc);
  bool on_main_stack() const;
  void check_stack_write(const Block& b);
  void check_sp();
  void check_watchdog();
  // The board's time bound (sim::Board::set_time_limit): reached, the run stops where it is.
  void check_time_limit();
  void update_time_limit();
  std::uint32_t locate(std::uint32_t accessed, Access how);
  std::string where(std::uint32_t code) const {
    return sim::hex_word(code) + " (" + image.describe(code) + ")";
  }
  // A board check that failed names the code that made the access (running.at).
  void after_board_access(std::size_t findings_before);
  static bool hook_invalid(uc_engine*, uc_mem_type type, std::uint64_t addr, int size,
                           std::int64_t value, void* self);
  static void hook_interrupt(uc_engine*, std::uint32_t intno, void* self);

  sim::Board& board;
  std::uint64_t board_time = 0;  // counters.cycles the board has been advanced to
  Options options;
  ElfImage image;
  Layout layout;
  std::unique_ptr<uc_engine, decltype(&uc_close)> engine{nullptr, &uc_close};
  uc_engine* uc = nullptr;  // engine, for the many calls that take it
  std::deque<Window> windows;
  Flash flash;
  Blocks blocks;
  Block* current = nullptr;  // the block running now
  Running running;
  Counters counters;
  Checks checks;
  Unaligned unaligned;
  AtMain at_main;
  Debug debug;
  Loading loading;
  std::unique_ptr<Profile> profile;  // while recording one
  std::exception_ptr escaped;        // thrown in a hook, thrown again when the core has stopped
  // Set from a signal handler (Emulator::interrupt): the core stops at the next block.
  std::atomic<bool> interrupted = false;

  // Where symbols put main, .data, .bss and the serial code (emulator.cpp).
  void lay_out();

  // A debugger's flash download, the chip's reset and the stopwatch (load_reset.cpp).
  bool erase_flash(std::uint32_t addr, std::uint32_t length);
  bool program_flash(std::uint32_t addr, std::span<const std::uint8_t> data);
  std::vector<std::string> flash_done();
  bool reset_chip(std::vector<std::string>& said);
  void boot_programmed_flash(std::vector<std::string>& said);
  std::uint64_t clocks_at_stop() const;

  // Debugging (debug.cpp): the run under a debugger, and the target it reads and changes.
  class Target;
  void attach_debugger(int port);
  uc_err run_debugged(std::uint32_t begin, std::uint32_t until);
  void stop_for_debugger(const StopReason& why);
  void report_fault_to_debugger();
  void console_finding(const std::string& text, std::uint32_t code);
  bool watch_access(std::uint32_t addr, unsigned size, bool write);
  // Unicorn decides at translation which instructions call code hooks: the code at addr is
  // translated again with the hooks there now, the rest of the translations kept (emptying
  // them all touches the whole translation buffer, a gigabyte).
  void retranslate(std::uint32_t addr) { uc_ctl_remove_cache(uc, addr, addr + kWord); }
  void poll_debugger(std::uint32_t block);
  void end_debugging(bool goes_on = false);
  void finish_debugging();
  static void hook_breakpoint(uc_engine*, std::uint64_t addr, std::uint32_t size, void* self);
  static void hook_range_end(uc_engine*, std::uint64_t addr, std::uint32_t size, void* self);
  void leave_range(std::uint32_t at);
  void begin_step(std::uint32_t pc);
  void end_step();
  static void hook_watch(uc_engine*, uc_mem_type type, std::uint64_t addr, int size,
                         std::int64_t value, void* self);
};

}  // namespace emu
