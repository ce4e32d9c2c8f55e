// The runner's sequences, checked on an engine that only records what it is asked to do.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "effects/catalogue.h"
#include "runner/run.h"
#include "sim/refusal.h"

namespace {

class RecordingEngine : public runner::Engine {
 public:
  void call(std::string_view symbol, std::initializer_list<std::int32_t> args) override {
    std::string s(symbol);
    for (auto a : args) s += " " + std::to_string(a);
    calls.push_back(s);
  }
  void run_main() override { calls.push_back("main"); }
  bool has(std::string_view symbol) const override { return symbol != missing; }
  std::vector<std::string> calls;
  std::string_view missing;
};

const std::vector<std::string> kBringUp = {"processor_init", "io_init", "lcd_init", "calibratead"};

TEST(RunSequence, DemoIsTheImagesOwnMain) {
  RecordingEngine e;
  runner::run_sequence(e, "demo", 7);
  EXPECT_EQ(e.calls, std::vector<std::string>{"main"});
}

TEST(RunSequence, SingleEffectsBringUpLoadTheirPaletteAndCountFramesFromZero) {
  struct Case {
    const char* effect;
    std::string palette;
    std::string renderer;
  };
  for (const Case& c :
       {Case{"plasma", "initpal 0", "effectPlasma"}, Case{"cake", "initpal 2", "effectCake"},
        Case{"fall", "initpal 0", "effectFall"}, Case{"roundwave", "initpal 0", "effectRoundWave"},
        Case{"fftwave", "initpal 0", "effectFftAndWave"}}) {
    RecordingEngine e;
    runner::run_sequence(e, c.effect, 3);
    auto want = kBringUp;
    want.push_back(c.palette);
    for (int n = 0; n < 3; ++n) want.push_back(c.renderer + " " + std::to_string(n));
    EXPECT_EQ(e.calls, want) << c.effect;
  }
}

TEST(RunSequence, TheCounterStartsWhereAskedAndWrapsAsTheFirmwaresWould) {
  RecordingEngine e;
  runner::run_sequence(e, "plasma", 3, 2147483646);
  EXPECT_EQ(std::vector<std::string>(e.calls.end() - 3, e.calls.end()),
            (std::vector<std::string>{"effectPlasma 2147483646", "effectPlasma 2147483647",
                                      "effectPlasma -2147483648"}));
  RecordingEngine s;
  runner::run_sequence(s, "showcase", 2, -1);
  EXPECT_EQ(s.calls.back(), "showcase_frame 0");
}

TEST(RunSequence, ShowcaseCountsGlobalFrames) {
  RecordingEngine e;
  runner::run_sequence(e, "showcase", 2);
  auto want = kBringUp;
  want.insert(want.end(), {"showcase_frame 0", "showcase_frame 1"});
  EXPECT_EQ(e.calls, want);
}

TEST(RunSequence, UnknownEffectIsRefused) {
  RecordingEngine e;
  EXPECT_THROW(runner::run_sequence(e, "tunnel", 1), sim::Refusal);
  EXPECT_TRUE(e.calls.empty());
}

// demo runs main from reset: any start but 0 is refused, below it as above it.
TEST(RunSequence, DemoRefusesAStartEitherSideOfZero) {
  for (const std::int32_t start : {1, -5, -2147483647 - 1}) {
    RecordingEngine e;
    EXPECT_THROW(runner::Sequence(e, "demo", start), sim::Refusal) << start;
    EXPECT_TRUE(e.calls.empty());
  }
}

// The showcase's 600-frame cycle of 120 frames an effect, counted back from 0 as the firmware
// counts it: -1 is the cycle's last frame, and INT32_MIN lies 248 frames before a whole number
// of cycles (2^31 = 3579139 x 600 + 248), at position 352, the fall's.
TEST(RunSequence, TheShowcaseBeforeFrameZeroShowsTheCyclesEndFirst) {
  const std::pair<std::int32_t, const char*> cases[] = {
      {-1, "fftwave"},   {-120, "fftwave"},         {-121, "roundwave"}, {-600, "plasma"},
      {-601, "fftwave"}, {-2147483647 - 1, "fall"}, {599, "fftwave"},    {600, "plasma"}};
  for (const auto& [k, name] : cases) EXPECT_EQ(runner::showcase_effect(k).name, name) << k;
}

TEST(RunSequence, AFirmwareWithoutTheRendererIsRefusedBeforeAnyCall) {
  RecordingEngine e;
  e.missing = "effectCake";
  EXPECT_THROW(runner::run_sequence(e, "cake", 1), sim::Refusal);
  EXPECT_TRUE(e.calls.empty());
}

// The runner's list is the firmware's catalogue, entry for entry.
TEST(Effects, AreTheCataloguesInItsOrder) {
  const auto list = runner::effects();
  ASSERT_EQ(list.size(), std::size(kEffectCatalogue));
  for (std::size_t i = 0; i < list.size(); ++i) {
    const EffectInfo& want = kEffectCatalogue[i];
    EXPECT_EQ(list[i].name, want.name);
    EXPECT_EQ(list[i].symbol, want.symbol) << want.name;
    EXPECT_EQ(list[i].palette, want.palette) << want.name;
    EXPECT_EQ(list[i].shows_audio, want.audio == Audio::kShown) << want.name;
    EXPECT_EQ(runner::find_effect(want.name)->symbol, want.symbol);
  }
}

// demo shows the plasma, which ignores the input; the showcase includes effects that follow it.
TEST(Effects, WhatShowsTheAudioInput) {
  for (const auto& [sequence, shows] :
       {std::pair{"demo", false}, {"showcase", true}, {"tunnel", false}}) {
    EXPECT_EQ(runner::shows_audio(sequence), shows) << sequence;
  }
  for (const EffectInfo& e : kEffectCatalogue) {
    EXPECT_EQ(runner::shows_audio(e.name), e.audio == Audio::kShown) << e.name;
  }
}

// `make demo` shows every effect but the first, the demo's own, one by one.
TEST(Effects, MakeDemoShowsTheRest) {
  const std::string command =
      "env -u MAKEFLAGS -u MAKELEVEL make -s --no-print-directory -C " LPCDEMO_SOURCE_DIR
      " effects 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> out(popen(command.c_str(), "r"), pclose);
  ASSERT_TRUE(out);
  std::string listed;
  for (int c; (c = std::fgetc(out.get())) != EOF;) listed += static_cast<char>(c);
  std::string want;
  for (std::size_t i = 1; i < std::size(kEffectCatalogue); ++i) {
    want += std::string(i > 1 ? " " : "") + kEffectCatalogue[i].name;
  }
  EXPECT_EQ(listed, want + "\n");
}

}  // namespace
