// The cycle report on the real image: its figures hang together and respect the floor that
// the serial link and the converter set.
#include "emu/bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <vector>

#include "effects/catalogue.h"
#include "emu/emulator.h"
#include "runner/run.h"
#include "sim/audio.h"

namespace emu {
namespace {

const std::string kImage = LPCDEMO_BINARY_DIR "/image/lpcdemo.elf";
const std::string kFlashImage = LPCDEMO_BINARY_DIR "/image/lpcdemo.bin";

constexpr double kWordsPerFrame = 1 + 6566 * 3 / 2;  // frame start, then 2 pixels in 3 bytes
constexpr double kLinkClocks = kWordsPerFrame * 72;  // PCLK = CCLK after bring-up
constexpr double kConversionClocks = 11 * 256;
constexpr double kCoreHz = 3 * 12e6;
constexpr int kFrames = 2;

// The figures that the timing moves.
constexpr double EffectCost::*kBandedFigures[] = {&EffectCost::cycles, &EffectCost::render,
                                                  &EffectCost::serial, &EffectCost::adc_wait,
                                                  &EffectCost::ratio,  &EffectCost::fps};

// Clocks a frame of `effect` takes, over the bench's frames, run as the bench runs it but at
// `timing`.
double clocks_per_frame(const runner::Effect& effect, const Timing& timing) {
  Options options;
  options.timing = timing;
  sim::Board board(sim::make_audio(""));
  Emulator emu(kImage, board, options);
  runner::bring_up(emu);
  emu.call("initpal", {effect.palette});
  const std::uint64_t start = emu.counters().cycles;
  for (int n = 0; n < kFrames; ++n) emu.call(effect.symbol, {n});
  return static_cast<double>(emu.counters().cycles - start) / kFrames;
}

class Bench : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (std::filesystem::exists(kImage)) report_ = new BenchReport(measure_bench(kImage, kFrames));
  }
  static void TearDownTestSuite() {
    delete report_;
    report_ = nullptr;
  }
  void SetUp() override {
    if (!report_) GTEST_SKIP() << "the image is not built";
  }
  static BenchReport* report_;
};
BenchReport* Bench::report_ = nullptr;

// Every entry of the firmware's catalogue, in its order.
TEST_F(Bench, EveryEffectIsMeasured) {
  ASSERT_EQ(report_->effects.size(), std::size(kEffectCatalogue));
  for (std::size_t i = 0; i < std::size(kEffectCatalogue); ++i) {
    EXPECT_EQ(report_->effects[i].name, kEffectCatalogue[i].name);
  }
  EXPECT_TRUE(report_->findings.empty()) << report_->findings.front();
}

TEST_F(Bench, FramesRespectTheLinkAndConverterFloor) {
  for (const EffectCost& c : report_->effects) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.words, kWordsPerFrame);
    EXPECT_DOUBLE_EQ(c.cclk_hz, kCoreHz);
    EXPECT_DOUBLE_EQ(c.bound, kLinkClocks + c.conversions * kConversionClocks);
    EXPECT_GE(c.ratio, 1.0);
    EXPECT_DOUBLE_EQ(c.render + c.serial + c.adc_wait, c.cycles);
    // Every word's 72 clocks pass inside the link's code, every conversion inside a poll
    // (less the few clocks between its start and the first read).
    EXPECT_GE(c.serial, kLinkClocks);
    EXPECT_GE(c.adc_wait, c.conversions * (kConversionClocks - 16));
    EXPECT_DOUBLE_EQ(c.fps, kCoreHz / c.cycles);
    EXPECT_GT(c.instructions, kWordsPerFrame);
  }
  // An effect samples the converter in its frames exactly when the catalogue says that its
  // picture follows the audio input (the plasma and the cake sample nothing).
  ASSERT_EQ(report_->effects.size(), std::size(kEffectCatalogue));
  for (std::size_t i = 0; i < report_->effects.size(); ++i) {
    EXPECT_EQ(report_->effects[i].conversions > 0, kEffectCatalogue[i].audio == Audio::kShown)
        << report_->effects[i].name;
  }
  EXPECT_EQ(report_->effects[0].conversions, 0);
  EXPECT_EQ(report_->effects[1].conversions, 0);
}

// The band: every plausible timing, the chosen one among them, each with every effect in order;
// it has width (a frame's APB accesses cost clocks), and each run's figures hang together as the
// chosen ones do.
TEST_F(Bench, ChosenTimingLiesInsideThePlausibleBand) {
  static_assert(Timing::kLowestApbWait <= Timing{}.apb_wait);
  static_assert(Timing{}.apb_wait <= Timing::kHighestApbWait);
  // Each wait with the accelerator's readings taken, then with their alternatives.
  constexpr std::size_t kWaits = Timing::kHighestApbWait - Timing::kLowestApbWait + 1;
  ASSERT_EQ(report_->band.size(), 2 * kWaits);
  std::size_t chosen = 0;
  for (std::size_t j = 0; j < report_->band.size(); ++j) {
    const BenchReport::Run& run = report_->band[j];
    EXPECT_EQ(run.timing.apb_wait, Timing::kLowestApbWait + j % kWaits);
    EXPECT_EQ(run.timing.mam.miss_waits_for_prefetch, j >= kWaits);
    EXPECT_EQ(run.timing.mam.data_read_loses_prefetch, j >= kWaits);
    chosen += run.timing == report_->timing;
    ASSERT_EQ(run.effects.size(), report_->effects.size());
    for (std::size_t i = 0; i < run.effects.size(); ++i) {
      const EffectCost& c = run.effects[i];
      SCOPED_TRACE(c.name + " at APB wait " + std::to_string(run.timing.apb_wait));
      EXPECT_EQ(c.name, report_->effects[i].name);
      EXPECT_EQ(c.words, kWordsPerFrame);
      EXPECT_DOUBLE_EQ(c.render + c.serial + c.adc_wait, c.cycles);
      EXPECT_DOUBLE_EQ(c.bound, kLinkClocks + c.conversions * kConversionClocks);
      EXPECT_DOUBLE_EQ(c.ratio, c.cycles / c.bound);
      EXPECT_DOUBLE_EQ(c.fps, kCoreHz / c.cycles);
    }
  }
  EXPECT_EQ(chosen, 1u);
  for (std::size_t i = 0; i < report_->effects.size(); ++i) {
    const EffectCost& c = report_->effects[i];
    SCOPED_TRACE(c.name);
    for (const auto figure : kBandedFigures) {
      const Banded b = banded(*report_, i, figure);
      std::vector<double> runs;
      for (const BenchReport::Run& run : report_->band) runs.push_back(run.effects[i].*figure);
      EXPECT_EQ(b.value, c.*figure);
      EXPECT_EQ(b.low, *std::min_element(runs.begin(), runs.end()));
      EXPECT_EQ(b.high, *std::max_element(runs.begin(), runs.end()));
      EXPECT_LE(b.low, b.value);
      EXPECT_LE(b.value, b.high);
    }
    const Banded clocks = banded(*report_, i, &EffectCost::cycles);
    EXPECT_LT(clocks.low, clocks.high);
    // The lowest clocks make the most frames a second.
    EXPECT_DOUBLE_EQ(banded(*report_, i, &EffectCost::fps).high, kCoreHz / clocks.low);
  }
}

// The chosen figures are those of a run at the default options, the band's those of runs at
// its timings, each on a board of its own: a silent effect and one that follows the audio input.
TEST_F(Bench, EachTimingIsARunOfItsOwn) {
  for (const std::size_t i : {std::size_t{0}, std::size_t{2}}) {
    const runner::Effect& effect = runner::effects()[i];
    SCOPED_TRACE(effect.name);
    EXPECT_EQ(report_->effects[i].cycles, clocks_per_frame(effect, Options{}.timing));
    double low = 0, high = 0;
    for (const BenchReport::Run& run : report_->band) {
      const double clocks = clocks_per_frame(effect, run.timing);
      EXPECT_EQ(run.effects[i].cycles, clocks) << run.timing.apb_wait;
      low = low ? std::min(low, clocks) : clocks;
      high = std::max(high, clocks);
    }
    EXPECT_EQ(banded(*report_, i, &EffectCost::cycles).low, low);
    EXPECT_EQ(banded(*report_, i, &EffectCost::cycles).high, high);
  }
}

// A figure's band is the lowest and highest over the band's runs, whichever of them gives it,
// whether or not the chosen timing is one of them.
TEST(Banded, IsTheLowestAndHighestOverTheBandsRuns) {
  auto costs = [](double cycles) {
    EffectCost c;
    c.cycles = cycles;
    return std::vector<EffectCost>{c};
  };
  BenchReport r;
  r.effects = costs(40);
  r.band = {{Timing{}, costs(30)}, {Timing{}, costs(20)}, {Timing{}, costs(25)}};
  const Banded b = banded(r, 0, &EffectCost::cycles);
  EXPECT_EQ(b.value, 40);
  EXPECT_EQ(b.low, 20);
  EXPECT_EQ(b.high, 30);
}

TEST_F(Bench, MemoryFiguresMatchTheImage) {
  if (std::filesystem::exists(kFlashImage)) {
    EXPECT_EQ(report_->flash_bytes, std::filesystem::file_size(kFlashImage));
  }
  EXPECT_EQ(report_->ram_bytes, 0x40001CD4u - 0x40000120u);  // _data .. _bss_end
  EXPECT_EQ(report_->stack_capacity, 0x40001FC8u - 0x40001CD4u);
  EXPECT_GT(report_->stack_bytes, 0u);
  EXPECT_LE(report_->stack_bytes, report_->stack_capacity);
}

TEST_F(Bench, PrintsATableAndJson) {
  std::ostringstream table, json;
  print_bench(*report_, false, table);
  print_bench(*report_, true, json);
  for (const EffectCost& c : report_->effects) {
    EXPECT_NE(table.str().find("\n" + c.name + " "), std::string::npos) << c.name;
    EXPECT_NE(json.str().find("\"name\": \"" + c.name + "\""), std::string::npos) << c.name;
  }
  EXPECT_NE(json.str().find("\"cycles_per_second\""), std::string::npos);
  // The header and the effects' rows line up: the same width on the screen (an en dash is
  // three bytes, one column).
  std::istringstream lines(table.str());
  std::string line;
  std::vector<std::size_t> widths;
  for (std::size_t i = 0; i <= report_->effects.size() && std::getline(lines, line); ++i) {
    widths.push_back(line.size() -
                     2 * static_cast<std::size_t>(std::count(line.begin(), line.end(), '\xE2')));
  }
  ASSERT_EQ(widths.size(), report_->effects.size() + 1);
  EXPECT_EQ(std::count(widths.begin(), widths.end(), widths.front()),
            static_cast<std::ptrdiff_t>(widths.size()))
      << table.str();
  // Each figure that the timing moves, with the band's ends beside it in the table and as
  // fields of their own in JSON; and the timings themselves.
  for (std::size_t i = 0; i < report_->effects.size(); ++i) {
    const Banded fps = banded(*report_, i, &EffectCost::fps);
    char cell[96];
    std::snprintf(cell, sizeof cell, "%.2f (%.2f\u2013%.2f)", fps.value, fps.low, fps.high);
    EXPECT_NE(table.str().find(cell), std::string::npos) << cell;
    std::snprintf(cell, sizeof cell, "\"fps\": %.3f, ", fps.value);
    EXPECT_NE(json.str().find(cell), std::string::npos) << cell;
    std::snprintf(cell, sizeof cell, "\"fps_low\": %.3f, \"fps_high\": %.3f", fps.low, fps.high);
    EXPECT_NE(json.str().find(cell), std::string::npos) << cell;
  }
  for (const char* field :
       {"cycles_per_frame", "render_cycles", "serial_cycles", "adc_wait_cycles", "ratio", "fps"}) {
    for (const char* end : {"_low\": ", "_high\": "}) {
      const std::string key = "\"" + std::string(field) + end;
      std::size_t count = 0;
      for (auto at = json.str().find(key); at != std::string::npos;
           at = json.str().find(key, at + 1)) {
        ++count;
      }
      EXPECT_EQ(count, report_->effects.size()) << key;
    }
  }
  const auto timing = [](const Timing& t) {
    const std::string alternative = t.mam == MamReading{} ? "false" : "true";
    return "{\"apb_wait\": " + std::to_string(t.apb_wait) +
           ", \"mam\": {\"miss_waits_for_prefetch\": " + alternative +
           ", \"data_read_loses_prefetch\": " + alternative +
           ", \"hit_waits_for_prefetch\": " + alternative + "}}";
  };
  EXPECT_NE(json.str().find("\"timing\": " + timing(Timing{})), std::string::npos);
  std::string band = "\"plausible_timings\": [";
  for (const Timing& t : plausible_timings()) band += (band.back() == '[' ? "" : ", ") + timing(t);
  EXPECT_NE(json.str().find(band + "]"), std::string::npos) << band;
  EXPECT_EQ(json.str().front(), '{');
  EXPECT_EQ(json.str().substr(json.str().size() - 2), "}\n");
}

}  // namespace
}  // namespace emu
