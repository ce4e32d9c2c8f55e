// `lpcdemo bench`: what one frame of each effect costs on the chip, estimated on the emulated
// core, against the floor the serial link and the converter set.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "emu/emulator.h"

namespace emu {

inline constexpr int kBenchFrames = 8;
// Frames run after the measured ones, in slices, so that the emulator's throughput is timed
// over a few seconds of the host's processor time rather than a fraction of one.
inline constexpr int kSliceFrames = 8;
inline constexpr int kTimedFrames = 7 * kSliceFrames;

struct EffectCost {
  std::string name;
  double instructions = 0;  // per frame, and so on below
  double cycles = 0;
  double render = 0, serial = 0, adc_wait = 0;
  double words = 0;        // LCD words sent
  double conversions = 0;  // A/D conversions made
  double bound = 0;        // clocks the link and the converter need at the least
  double ratio = 0;        // cycles / bound
  double fps = 0;          // at the emulated core clock
  double cclk_hz = 0;
  std::uint32_t stack = 0;  // deepest main-stack use in bytes
  std::size_t findings = 0;
};

struct BenchReport {
  std::vector<EffectCost> effects;  // at `timing`
  Timing timing;
  // The same frames of each effect, in the same order, at every timing of the plausible band
  // (the run at `timing` reused where the band holds it).
  struct Run {
    Timing timing;
    std::vector<EffectCost> effects;
  };
  std::vector<Run> band;
  std::uint32_t flash_bytes = 0;
  std::uint32_t ram_bytes = 0;       // .data and .bss
  std::uint32_t stack_bytes = 0;     // deepest main-stack use over all effects
  std::uint32_t stack_capacity = 0;  // from the top of the main stack down to the end of .bss
  // Peripheral clocks of one LCD word and one A/D conversion as the image sets them up.
  std::uint64_t pclks_per_word = 0;
  std::uint64_t pclks_per_conversion = 0;
  // Processor time the frames would take at the fastest slice's pace, and what they emulated.
  double host_seconds = 0;
  int timed_frames = 0;  // frames of each effect
  double emulated_cycles = 0;
  double emulated_instructions = 0;
  std::vector<std::string> findings;  // "effect: message"
};

// Runs bring-up, the effect's palette and `frames` frames of each effect on its own board with
// the default audio source at `timing`, and averages over the frames; then `timed_frames` more,
// for the emulator's throughput only. The same frames run again, each on a board of its own, at
// every other timing of the plausible band. Throws BadImage (a sim::Refusal) when the
// image cannot be loaded. With `profile_dir`, the measured frames of each effect at `timing`
// are profiled into profile_dir/<effect>.callgrind (profile.h).
BenchReport measure_bench(const std::string& elf_path, int frames = kBenchFrames,
                          int timed_frames = 0, const std::string& profile_dir = "",
                          const Timing& timing = {});

// A figure of an effect at the chosen timing, and the lowest and highest it takes over the band.
struct Banded {
  double value = 0, low = 0, high = 0;
};
Banded banded(const BenchReport& report, std::size_t effect, double EffectCost::*figure);
void print_bench(const BenchReport& report, bool json, std::ostream& out);

// The command: prints the report; returns 0, or 1 when the runs produced findings.
int run_bench(const std::string& elf_path, bool json, std::ostream& out,
              const std::string& profile_dir = "");

}  // namespace emu
