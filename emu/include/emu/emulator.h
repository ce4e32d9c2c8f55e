// The cross-built image on an emulated ARM7TDMI (Unicorn, ARMv4T, ARM state) with the LPC2138's
// flash, RAM and the board model's peripherals, and the processor clocks every instruction takes
// on the chip.
//
// The clocks: the ARM7TDMI-S timing table per instruction with S = N = I = one clock, a
// skipped conditional instruction one clock, multiplies by the size of their multiplier
// operand; the memory accelerator's answer to every fetch and to every data read from flash
// (mam.h); the APB wait after every peripheral access (Timing below). Each instruction has its
// clock within its block, and each memory access reaches the board at its instruction's data
// cycle, so the board's time, a trace's edges and a finding's code are the instruction's.
// Conditions and multiplier operands are read as the instruction sees them: at its block's
// start or end when nothing in the block changes them on the other side, else by a hook on
// that one instruction (code copied to RAM by start-up included; code written at run time, and
// raw flash without symbols, count such an instruction as executed, such a multiply as the
// slowest). Unaligned loads and stores behave as on the ARM7TDMI-S (unaligned.cpp).
// Where NXP's documents leave the timing open (the APB wait, details of the accelerator), Timing
// holds the reading taken, and the bench shows each figure over the plausible band.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "emu/elf_image.h"
#include "emu/mam.h"
#include "runner/engine.h"
#include "sim/board.h"

namespace emu {

// The chip's timing where NXP's documents leave it open: the model's choice, and the band of
// values that the documents and measurements leave plausible. The bench runs every timing of
// the band, so whatever is added here moves its figures together.
struct Timing {
  // Clocks the core stalls on each access to an APB peripheral (0xE0000000-0xE01FFFFF) beyond
  // its own data cycle, with PCLK = CCLK as the firmware sets VPBDIV; fast GPIO and the VIC
  // are on the local bus and AHB and have none. UM10120 gives no figure. What fixes it:
  // - the LPC2131/32/34/36/38 data sheet, 2.1: "Fast GPIO ports enable port pin toggling up to
  //   3.5 times faster than the original LPC213x": a store to fast GPIO takes 2 clocks (2N),
  //   one to legacy GPIO on the APB 2 + W, and (2 + W) / 2 = 3.5 gives W = 5;
  // - a loop "str IOCLR; str IOSET; b" on an LPC2106 (the same APB bridge) with VPBDIV = 1
  //   toggles at "3.4+ MHz" (lpc2000 group, 2005-05-03, "LPC2106 port driving problem"):
  //   at 58.98-60 MHz 17.3-17.6 clocks a period = 2 + W + 2 + W + 3, so W <= 5 (4 if its
  //   accelerator was only partly on);
  // - AMBA APB: a transfer has a setup and an enable phase, at least 2 PCLK cycles, so at
  //   least 1 beyond the core's own data cycle.
  // Plausible: 4 to 6 (reads, which no measurement covers, may take one more than writes).
  // With PCLK = CCLK / 2 or / 4 (VPBDIV's reset value, until io_init sets 1) the two APB
  // phases take 4 or 8 clocks and wait up to 1 or 3 more for PCLK's edge; the model keeps
  // this one wait, which only bring-up's first accesses see.
  unsigned apb_wait = 5;
  static constexpr unsigned kLowestApbWait = 4, kHighestApbWait = 6;
  // The accelerator's details UM10120 leaves open (mam.h): the readings taken, or their
  // alternatives. Measured on this image, a data read that loses a prefetched line moves the
  // plasma's frame by 1.4 %, the other two by under 0.5 % (a miss that waits for a prefetch
  // in flight moved it by 2.6 % before senddisp's loop kept its line).
  MamReading mam;
  bool operator==(const Timing&) const = default;
};

// Every timing of the plausible band, the chosen one (Timing{}) among them. A poll's passes
// make the clocks of a frame go up and down with the wait, so the band's ends are no bounds of
// what lies between them: each timing in it is a run of its own.
inline std::vector<Timing> plausible_timings() {
  constexpr MamReading kAlternatives{.miss_waits_for_prefetch = true,
                                     .data_read_loses_prefetch = true,
                                     .hit_waits_for_prefetch = true};
  std::vector<Timing> band;
  for (const MamReading& mam : {MamReading{}, kAlternatives}) {
    for (unsigned w = Timing::kLowestApbWait; w <= Timing::kHighestApbWait; ++w) {
      band.push_back({.apb_wait = w, .mam = mam});
    }
  }
  return band;
}

struct Options {
  // A run that completes no frame within this many instructions is stopped as hung (for
  // example a calibration that never settles on a drifting input).
  std::uint64_t watchdog_instructions = 200'000'000;
  // Listen on 127.0.0.1 at this port for GDB's remote protocol and wait for a debugger before
  // the first instruction; 0: no debugger.
  int gdb_port = 0;
  // RAM outside .data and .bss holds this byte at reset instead of zeros, so that a run whose
  // frames depend on memory it never wrote shows it.
  std::optional<std::uint8_t> ram_fill;
  Timing timing;
};

// Where the processor clocks went: the code that sends to the LCD (sendlcd, senddisp and
// their waits), polls for A/D results, and everything else.
enum class Activity : std::uint8_t { Render, Serial, AdcWait };
inline constexpr std::size_t kActivities = 3;

struct Counters {
  std::uint64_t instructions = 0;
  std::uint64_t cycles = 0;
  std::array<std::uint64_t, kActivities> by_activity{};
  // The deepest main-stack address in use: the pointer, or the lowest byte written through it.
  std::uint32_t lowest_sp = 0xFFFFFFFF;
};

// The constructor throws BadImage when the image cannot be loaded, or a file has no main.
class Emulator : public runner::Engine {
 public:
  Emulator(const std::string& elf_path, sim::Board& board, const Options& options = {});
  // An image without main (ElfImage::from_flash without symbols) can only run_main: from the
  // reset vector to the halt loop.
  Emulator(ElfImage image, sim::Board& board, const Options& options = {});
  ~Emulator() override;

  // Runs the image's start-up once (to main), then `symbol` with args in r0..r3 until it
  // returns. A fault or the watchdog ends the call early, with a finding on the board.
  void call(std::string_view symbol, std::initializer_list<std::int32_t> args = {}) override;
  // From the reset vector to the halt loop (a branch to itself).
  void run_main() override;
  bool has(std::string_view symbol) const override;
  std::string location() const override;
  // The core stops at the next block it enters, or the poll it goes round (async-signal-safe).
  void interrupt() noexcept override;

  const Counters& counters() const;
  // From here on, where every charged clock goes (profile.h); again: afresh.
  void record_profile() override;
  // What was recorded, in callgrind's format, `command` naming the run, and the counters'
  // totals ("N clocks, M instructions") to check it against; throws std::runtime_error when
  // nothing was recorded or the file cannot be written.
  std::string write_profile(const std::string& path, const std::string& command) const override;
  std::uint32_t stack_top() const;  // the main stack pointer as start-up leaves it
  std::uint32_t flash_used() const;
  std::uint32_t ram_used() const;  // .data and .bss
  // Bytes from the top of the main stack down to the end of .bss.
  std::uint32_t stack_capacity() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

std::unique_ptr<runner::Engine> make_emulated_engine(const std::string& elf_path, sim::Board& board,
                                                     const Options& options = {});
std::unique_ptr<runner::Engine> make_emulated_engine(ElfImage image, sim::Board& board,
                                                     const Options& options = {});

}  // namespace emu
