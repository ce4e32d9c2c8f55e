#include "emu/bench.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "emu/emulator.h"
#include "hw/lpc2138.h"
#include "runner/run.h"
#include "sim/audio.h"
#include "sim/lcd_model.h"

namespace emu {
namespace {

namespace chip = lpc2138;

struct Snapshot {
  Counters counters;
  std::size_t words = 0;
  std::uint64_t conversions = 0;
};

Snapshot snapshot(const Emulator& emu, const sim::Board& board) {
  return {emu.counters(), board.lcd().word_count(), board.conversions()};
}

// The link's and the converter's timing from the registers the image left set up.
void read_setup(sim::Board& board, BenchReport& report) {
  const auto spcr = static_cast<std::uint16_t>(board.read(chip::S0SPCR.addr, chip::S0SPCR.width));
  const auto spccr = static_cast<std::uint8_t>(board.read(chip::S0SPCCR.addr, chip::S0SPCCR.width));
  report.pclks_per_word = std::uint64_t{sim::Board::spi_transfer_bits(spcr)} * spccr;
  report.pclks_per_conversion =
      sim::Board::conversion_pclks(board.read(chip::AD0CR.addr, chip::AD0CR.width));
}

// Processor time of this thread: the emulator's throughput, whatever else the host runs.
double cpu_seconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Runs frames [first, first + count) of the effect; returns the processor time taken.
double run_frames(Emulator& emu, const runner::Effect& effect, int first, int count) {
  const double t0 = cpu_seconds();
  for (int n = first; n < first + count; ++n) emu.call(effect.symbol, {n});
  return cpu_seconds() - t0;
}

// The frames run in slices; the fastest slice gives the emulator's own speed, without the time
// the host's other work takes from it (shared caches, preemption).
void time_slices(Emulator& emu, const runner::Effect& effect, int frames, double first_slice,
                 const Counters& from, int timed_frames, BenchReport& report) {
  const Counters& now = emu.counters();
  double best = static_cast<double>(now.cycles - from.cycles) / first_slice;
  for (int n = frames; n < frames + timed_frames; n += kSliceFrames) {
    const std::uint64_t before = now.cycles;
    const double seconds = run_frames(emu, effect, n, kSliceFrames);
    best = std::max(best, static_cast<double>(now.cycles - before) / seconds);
  }
  const double cycles = static_cast<double>(now.cycles - from.cycles);
  report.emulated_cycles += cycles;
  report.emulated_instructions += static_cast<double>(now.instructions - from.instructions);
  report.host_seconds += cycles / best;
}

// What the image left set up, and the counters, after `frames` frames of an effect on a board of
// its own at `timing` (bring-up and the palette before them); with `timed`, the emulator's
// throughput over further frames and the memory figures go into it too.
EffectCost measure_effect(const std::string& elf_path, const runner::Effect& effect, int frames,
                          const Timing& timing, BenchReport& report, bool timed, int timed_frames,
                          const std::string& profile_dir) {
  sim::Board board(sim::make_audio(""));
  board.keep_history(false);  // counts are enough; a long run's log would cost time
  Options options;
  options.timing = timing;
  Emulator emu(elf_path, board, options);
  runner::bring_up(emu);
  emu.call("initpal", {effect.palette});
  const Snapshot start = snapshot(emu, board);
  // Recording goes on through the timed frames, so that the throughput is the profiled one.
  if (!profile_dir.empty()) emu.record_profile();
  const double seconds = run_frames(emu, effect, 0, frames);
  const Snapshot end = snapshot(emu, board);
  if (!profile_dir.empty()) {
    emu.write_profile(profile_dir + "/" + std::string(effect.name) + ".callgrind",
                      "lpcdemo bench: " + std::to_string(frames) + " frames of " +
                          std::string(effect.name) + " on " + elf_path);
  }
  if (timed) time_slices(emu, effect, frames, seconds, start.counters, timed_frames, report);
  read_setup(board, report);

  const double f = frames;
  auto per_frame = [&](std::uint64_t a, std::uint64_t b) { return static_cast<double>(b - a) / f; };
  auto activity = [&](Activity a) {
    const auto i = static_cast<std::size_t>(a);
    return per_frame(start.counters.by_activity[i], end.counters.by_activity[i]);
  };
  EffectCost c;
  c.name = std::string(effect.name);
  c.instructions = per_frame(start.counters.instructions, end.counters.instructions);
  c.cycles = per_frame(start.counters.cycles, end.counters.cycles);
  c.render = activity(Activity::Render);
  c.serial = activity(Activity::Serial);
  c.adc_wait = activity(Activity::AdcWait);
  c.words = per_frame(start.words, end.words);
  c.conversions = per_frame(start.conversions, end.conversions);
  c.cclk_hz = board.cclk_hz();
  const double pclk_per_cclk = board.pclk_hz() / board.cclk_hz();
  const double link = static_cast<double>(sim::kLcdFrameWords) * report.pclks_per_word;
  c.bound = (link + c.conversions * report.pclks_per_conversion) / pclk_per_cclk;
  c.ratio = c.bound > 0 ? c.cycles / c.bound : 0;
  c.fps = c.cycles > 0 ? c.cclk_hz / c.cycles : 0;
  const std::uint32_t lowest = emu.counters().lowest_sp;
  c.stack = lowest < emu.stack_top() ? emu.stack_top() - lowest : 0;
  c.findings = board.findings().size();
  const std::string label = std::string(effect.name) + (timed ? "" : " (band's end)");
  for (const sim::Finding& finding : board.findings()) {
    report.findings.push_back(label + ": " + finding.message);
  }
  if (!timed) return c;

  report.flash_bytes = emu.flash_used();
  report.ram_bytes = emu.ram_used();
  report.stack_bytes = std::max(report.stack_bytes, c.stack);
  report.stack_capacity = emu.stack_capacity();
  return c;
}

std::string fixed(double v, int decimals) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

// Bytes of the main stack an effect left unused; negative when it went below the limit.
int margin(const BenchReport& r, const EffectCost& c) {
  return static_cast<int>(r.stack_capacity) - static_cast<int>(c.stack);
}

// Columns of a table for people, right-aligned (the first left-aligned) to their widest cell.
class Table {
 public:
  void add(std::vector<std::string> row) { rows_.push_back(std::move(row)); }
  void print(std::ostream& out) const {
    std::vector<std::size_t> width;
    for (const auto& row : rows_) {
      width.resize(std::max(width.size(), row.size()));
      for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], columns(row[i]));
    }
    for (const auto& row : rows_) {
      std::string line;
      for (std::size_t i = 0; i < row.size(); ++i) {
        const std::string pad(width[i] - columns(row[i]), ' ');
        line += (i ? " " : "") + (i ? pad + row[i] : row[i] + pad);
      }
      out << line << "\n";
    }
  }

 private:
  // Characters on the screen: UTF-8 continuation bytes take none.
  static std::size_t columns(const std::string& s) {
    return static_cast<std::size_t>(
        std::count_if(s.begin(), s.end(), [](char ch) { return (ch & 0xC0) != 0x80; }));
  }
  std::vector<std::vector<std::string>> rows_;
};

// "value (low–high)": the figure at the chosen timing, and its lowest and highest over the band;
// the value alone where the band does not move it.
std::string with_band(const Banded& b, int decimals) {
  const std::string value = fixed(b.value, decimals);
  const std::string low = fixed(b.low, decimals), high = fixed(b.high, decimals);
  return low == value && high == value ? value : value + " (" + low + "\u2013" + high + ")";
}

// The timing's fields as people read them; every field of Timing is named here.
std::string describe(const Timing& t) {
  return "APB wait " + std::to_string(t.apb_wait) +
         (t.mam == MamReading{} ? "" : " with the accelerator's alternatives");
}

void print_table(const BenchReport& r, std::ostream& out) {
  Table table;
  table.add({"effect", "insns/frame", "clk/frame", "render", "serial", "a/d wait", "conv", "bound",
             "ratio", "fps", "stack", "margin"});
  for (std::size_t i = 0; i < r.effects.size(); ++i) {
    const EffectCost& c = r.effects[i];
    auto band = [&](double EffectCost::*figure, int decimals) {
      return with_band(banded(r, i, figure), decimals);
    };
    table.add({c.name, fixed(c.instructions, 0), band(&EffectCost::cycles, 0),
               band(&EffectCost::render, 0), band(&EffectCost::serial, 0),
               band(&EffectCost::adc_wait, 0), fixed(c.conversions, 0), fixed(c.bound, 0),
               band(&EffectCost::ratio, 2), band(&EffectCost::fps, 2), std::to_string(c.stack),
               std::to_string(margin(r, c))});
  }
  table.print(out);
  const double mhz = r.effects.empty() ? 0 : r.effects.front().cclk_hz / 1e6;
  out << "clocks are processor clocks at " << fixed(mhz, 1)
      << " MHz (12 MHz crystal); bound = " << sim::kLcdFrameWords << " words x " << r.pclks_per_word
      << " + conversions x " << r.pclks_per_conversion << " peripheral clocks\n";
  out << "timing: " << describe(r.timing) << "; (low\u2013high) over the plausible band:";
  for (std::size_t i = 0; i < r.band.size(); ++i) {
    out << (i ? ", " : " ") << describe(r.band[i].timing);
  }
  out << "\n";
  out << "flash " << r.flash_bytes << " bytes, RAM " << r.ram_bytes
      << " bytes (.data + .bss), deepest stack " << r.stack_bytes << " of " << r.stack_capacity
      << " bytes\n";
  out << "emulator: " << fixed(r.emulated_cycles / r.host_seconds / 1e6, 1)
      << " M emulated clocks and " << fixed(r.emulated_instructions / r.host_seconds / 1e6, 1)
      << " M instructions per host CPU second (" << r.timed_frames
      << " frames of each effect, timed by its fastest " << kSliceFrames << ")\n";
  for (const std::string& f : r.findings) out << "finding: " << f << "\n";
}

std::string quoted(const std::string& s) {
  std::string q = "\"";
  for (char ch : s) {
    if (ch == '"' || ch == '\\') q += '\\';
    if (static_cast<unsigned char>(ch) < 0x20) continue;
    q += ch;
  }
  return q + "\"";
}

// ", "<name>_low": .., "<name>_high": ..": the figure's lowest and highest over the band.
std::string json_band(const BenchReport& r, std::size_t effect, const std::string& name,
                      double EffectCost::*figure, int decimals) {
  const Banded b = banded(r, effect, figure);
  return ", \"" + name + "_low\": " + fixed(b.low, decimals) + ", \"" + name +
         "_high\": " + fixed(b.high, decimals);
}

// Every field of Timing, as a JSON object.
std::string json_timing(const Timing& t) {
  const auto flag = [](bool b) { return b ? "true" : "false"; };
  return "{\"apb_wait\": " + std::to_string(t.apb_wait) +
         ", \"mam\": {\"miss_waits_for_prefetch\": " + flag(t.mam.miss_waits_for_prefetch) +
         ", \"data_read_loses_prefetch\": " + flag(t.mam.data_read_loses_prefetch) +
         ", \"hit_waits_for_prefetch\": " + flag(t.mam.hit_waits_for_prefetch) + "}}";
}

void print_json(const BenchReport& r, std::ostream& out) {
  out << "{\n  \"effects\": [\n";
  for (std::size_t i = 0; i < r.effects.size(); ++i) {
    const EffectCost& c = r.effects[i];
    out << "    {\"name\": " << quoted(c.name)
        << ", \"instructions_per_frame\": " << fixed(c.instructions, 1)
        << ", \"cycles_per_frame\": " << fixed(c.cycles, 1)
        << ", \"render_cycles\": " << fixed(c.render, 1)
        << ", \"serial_cycles\": " << fixed(c.serial, 1)
        << ", \"adc_wait_cycles\": " << fixed(c.adc_wait, 1)
        << ", \"words_per_frame\": " << fixed(c.words, 1)
        << ", \"conversions_per_frame\": " << fixed(c.conversions, 1)
        << ", \"bound_cycles\": " << fixed(c.bound, 1) << ", \"ratio\": " << fixed(c.ratio, 4)
        << ", \"fps\": " << fixed(c.fps, 3) << ", \"cclk_hz\": " << fixed(c.cclk_hz, 0)
        << json_band(r, i, "cycles_per_frame", &EffectCost::cycles, 1)
        << json_band(r, i, "render_cycles", &EffectCost::render, 1)
        << json_band(r, i, "serial_cycles", &EffectCost::serial, 1)
        << json_band(r, i, "adc_wait_cycles", &EffectCost::adc_wait, 1)
        << json_band(r, i, "ratio", &EffectCost::ratio, 4)
        << json_band(r, i, "fps", &EffectCost::fps, 3) << ", \"stack_bytes\": " << c.stack
        << ", \"stack_margin_bytes\": " << margin(r, c) << ", \"findings\": " << c.findings << "}"
        << (i + 1 < r.effects.size() ? "," : "") << "\n";
  }
  out << "  ],\n  \"flash_bytes\": " << r.flash_bytes << ",\n  \"ram_bytes\": " << r.ram_bytes
      << ",\n  \"stack_bytes\": " << r.stack_bytes
      << ",\n  \"stack_capacity\": " << r.stack_capacity
      << ",\n  \"timing\": " << json_timing(r.timing) << ",\n  \"plausible_timings\": [";
  for (std::size_t i = 0; i < r.band.size(); ++i) {
    out << (i ? ", " : "") << json_timing(r.band[i].timing);
  }
  out << "]"
      << ",\n  \"emulator\": {\"cycles_per_second\": "
      << fixed(r.emulated_cycles / r.host_seconds, 0)
      << ", \"instructions_per_second\": " << fixed(r.emulated_instructions / r.host_seconds, 0)
      << "},\n  \"findings\": [";
  for (std::size_t i = 0; i < r.findings.size(); ++i) {
    out << (i ? ", " : "") << quoted(r.findings[i]);
  }
  out << "]\n}\n";
}

}  // namespace

BenchReport measure_bench(const std::string& elf_path, int frames, int timed_frames,
                          const std::string& profile_dir, const Timing& timing) {
  BenchReport report;
  report.timing = timing;
  if (!profile_dir.empty()) std::filesystem::create_directories(profile_dir);
  for (const Timing& t : plausible_timings()) report.band.push_back({t, {}});
  for (const runner::Effect& e : runner::effects()) {
    report.effects.push_back(
        measure_effect(elf_path, e, frames, timing, report, true, timed_frames, profile_dir));
    for (BenchReport::Run& run : report.band) {
      run.effects.push_back(run.timing == timing ? report.effects.back()
                                                 : measure_effect(elf_path, e, frames, run.timing,
                                                                  report, false, 0, ""));
    }
  }
  report.timed_frames = frames + timed_frames;
  return report;
}

Banded banded(const BenchReport& report, std::size_t effect, double EffectCost::*figure) {
  const double value = report.effects.at(effect).*figure;
  Banded b{value, value, value};
  for (std::size_t i = 0; i < report.band.size(); ++i) {
    const double v = report.band[i].effects.at(effect).*figure;
    b.low = i ? std::min(b.low, v) : v;
    b.high = i ? std::max(b.high, v) : v;
  }
  return b;
}

void print_bench(const BenchReport& report, bool json, std::ostream& out) {
  if (json) {
    print_json(report, out);
  } else {
    print_table(report, out);
  }
}

int run_bench(const std::string& elf_path, bool json, std::ostream& out,
              const std::string& profile_dir) {
  const BenchReport report = measure_bench(elf_path, kBenchFrames, kTimedFrames, profile_dir);
  print_bench(report, json, out);
  return report.findings.empty() ? 0 : 1;
}

}  // namespace emu
