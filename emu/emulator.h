// The cross-built image on an emulated ARM7TDMI (Unicorn, ARMv4T, ARM state) with the LPC2138's
// flash, RAM and the board model's peripherals, and an estimate of the processor clocks every
// instruction takes on the chip.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "sim/board.h"
#include "tools/lpcdemo/engine.h"

namespace emu {

struct Options {
  // A run that completes no frame within this many instructions is stopped as hung (for
  // example a calibration that never settles on a drifting input).
  std::uint64_t watchdog_instructions = 200'000'000;
};

// Where the processor clocks went: the code that sends to the LCD (sendlcd, senddisp and
// their waits), polls for A/D results, and everything else.
enum class Activity : std::uint8_t { Render, Serial, AdcWait };
inline constexpr std::size_t kActivities = 3;

struct Counters {
  std::uint64_t instructions = 0;
  std::uint64_t cycles = 0;
  std::array<std::uint64_t, kActivities> by_activity{};
  std::uint32_t lowest_sp = 0xFFFFFFFF;  // deepest main-stack pointer seen
};

// Thrown by the constructor when the image cannot be loaded or has no main.
class Emulator : public runner::Engine {
 public:
  Emulator(const std::string& elf_path, sim::Board& board, const Options& options = {});
  ~Emulator() override;

  // Runs the image's start-up once (to main), then `symbol` with args in r0..r3 until it
  // returns. A fault or the watchdog ends the call early, with a finding on the board.
  void call(std::string_view symbol, std::initializer_list<std::int32_t> args = {}) override;
  // From the reset vector to the halt loop (a branch to itself).
  void run_main() override;

  const Counters& counters() const;
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

}  // namespace emu
