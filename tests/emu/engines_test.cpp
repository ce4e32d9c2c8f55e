// The cross-built image on the emulated core against the host build of the same sources:
// for every effect, the LCD receives the same words, and the emulated run finds nothing wrong.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "emu/emulator.h"
#include "runner/run.h"
#include "runner/session.h"
#include "sim/audio_files.h"
#include "startup/sequence.h"
#include "support/temp_dir.h"

namespace emu {
namespace {

const std::string kImage = LPCDEMO_BINARY_DIR "/image/lpcdemo.elf";
const std::string kShowcaseImage = LPCDEMO_BINARY_DIR "/image/lpcdemo-showcase.elf";
constexpr int kFrames = 4;

// A sound with a clear zero crossing every so often, and some higher partials for the spectrum.
std::string write_codes(const test::TempDir& dir) {
  const auto path = dir / "engines.codes";
  std::ofstream out(path);
  constexpr int kSamples = 4000;
  for (int i = 0; i < kSamples; ++i) {
    const double t = i / 37.0;
    const double v = 512 + 260 * std::sin(2 * M_PI * t) + 90 * std::sin(2 * M_PI * 5.3 * t);
    out << static_cast<int>(std::lround(v)) << (i % 16 == 15 ? '\n' : ' ');
  }
  return path.string();
}

void run_effect(runner::Engine& engine, const runner::Effect& effect) {
  runner::bring_up(engine);
  engine.call("initpal", {effect.palette});
  for (int n = 0; n < kFrames; ++n) engine.call(effect.symbol, {n});
}

std::string messages(const sim::Board& board) {
  std::string all;
  for (const sim::Finding& f : board.findings()) all += f.message + "\n";
  return all;
}

class Engines : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(kImage)) GTEST_SKIP() << "the image is not built";
    codes_ = "codes:" + write_codes(dir_);
  }
  test::TempDir dir_;
  std::string codes_;
};

TEST_F(Engines, EveryEffectSendsTheSameWords) {
  for (const runner::Effect& effect : runner::effects()) {
    sim::Board native_board(sim::open_audio(codes_));
    {
      auto native = runner::make_native_engine(native_board);
      run_effect(*native, effect);
    }
    sim::Board emulated_board(sim::open_audio(codes_));
    auto emulated = make_emulated_engine(kImage, emulated_board);
    run_effect(*emulated, effect);

    EXPECT_EQ(emulated_board.lcd().frames().size(), static_cast<std::size_t>(kFrames))
        << effect.symbol;
    EXPECT_EQ(emulated_board.lcd().words(), native_board.lcd().words()) << effect.symbol;
    EXPECT_EQ(messages(emulated_board), "") << effect.symbol;
  }
}

// On the chip every data word of a frame takes the link's 72 clocks and the 10 from the read
// that sees SPIF to the next store's data cycle (the load's APB wait of 5 and its internal
// cycle, the test, the branch not taken, the store's first cycle): senddisp's work between a
// store and its poll's first read is a whole number of passes (7 + 5 clocks) short of the 72,
// so the last read of every wait falls on the clock SPIF sets.
TEST_F(Engines, EveryDataWordOfAFrameTakesTheLinkAndTheStoreAfterIt) {
  static_assert(Timing{}.apb_wait == 5);
  struct Starts : sim::WireSink {
    std::vector<double> ns;
    void lines(double, std::uint32_t) override {}
    void transfer(double at, std::uint16_t, unsigned, double) override { ns.push_back(at); }
    void conversion(double, double) override {}
  } starts;
  sim::Board board(sim::make_audio("silence"));
  board.add_wire_sink(starts);
  Emulator emulated(kImage, board);
  runner::bring_up(emulated);
  emulated.call("initpal", {runner::effects()[0].palette});
  const std::size_t before = starts.ns.size();
  emulated.call(runner::effects()[0].symbol, {0});
  constexpr std::size_t kDataWords = 9849;
  ASSERT_EQ(starts.ns.size() - before, kDataWords + 1);  // and the memory-write command
  const double clock_ns = 1e9 / board.cclk_hz();
  std::size_t off = 0;
  for (std::size_t i = before + 2; i < starts.ns.size(); ++i) {
    if (std::lround((starts.ns[i] - starts.ns[i - 1]) / clock_ns) != 82) ++off;
  }
  EXPECT_EQ(off, 0u) << "of " << kDataWords - 1 << " words";
}

TEST_F(Engines, DemoFromResetMatchesTheHostBuild) {
  sim::Board native_board(sim::open_audio(codes_));
  {
    auto native = runner::make_native_engine(native_board);
    native->run_main();
  }
  sim::Board emulated_board(sim::open_audio(codes_));
  Emulator emulated(kImage, emulated_board);
  emulated.run_main();

  EXPECT_EQ(emulated_board.lcd().frames().size(), 50u);
  EXPECT_EQ(emulated_board.lcd().words(), native_board.lcd().words());
  EXPECT_EQ(messages(emulated_board), "");
  // The main stack stayed above .bss, and the clock ran at 3 x 12 MHz after bring-up.
  EXPECT_GT(emulated.counters().lowest_sp, 0x40001CD4u);  // _bss_end
  EXPECT_EQ(emulated.stack_top(), 0x40001FC8u);
  EXPECT_DOUBLE_EQ(emulated_board.cclk_hz(), 36e6);
}

// Frames from a counter near its maximum and past the wrap, as --start asks for them.
TEST_F(Engines, CountersAcrossTheWrapSendTheSameWords) {
  constexpr std::int32_t kStart = INT32_MAX - 1;
  for (const char* effect : {"cake", "fftwave"}) {
    sim::Board native_board(sim::open_audio(codes_));
    {
      auto native = runner::make_native_engine(native_board);
      runner::run_sequence(*native, effect, 3, kStart);
    }
    sim::Board emulated_board(sim::open_audio(codes_));
    Emulator emulated(kImage, emulated_board);
    runner::run_sequence(emulated, effect, 3, kStart);
    EXPECT_EQ(emulated_board.lcd().words(), native_board.lcd().words()) << effect;
    EXPECT_EQ(messages(emulated_board), "") << effect;
  }
}

// The audio effects' moves and fades (hand-written loops on the image) take over whatever the
// effect before left: after the cake, indices from all of 0..255.
TEST_F(Engines, AudioEffectsTakeOverTheCakesFrameAlike) {
  const auto run = [](runner::Engine& engine, const char* effect) {
    runner::bring_up(engine);
    engine.call("initpal", {2});
    engine.call("effectCake", {100000});
    for (int n = 0; n < 2; ++n) engine.call(effect, {n});
  };
  for (const char* effect : {"effectFall", "effectRoundWave"}) {
    sim::Board native_board(sim::open_audio(codes_));
    {
      auto native = runner::make_native_engine(native_board);
      run(*native, effect);
    }
    sim::Board emulated_board(sim::open_audio(codes_));
    Emulator emulated(kImage, emulated_board);
    run(emulated, effect);
    EXPECT_EQ(emulated_board.lcd().words(), native_board.lcd().words()) << effect;
    EXPECT_EQ(messages(emulated_board), "") << effect;
  }
}

// The showcase image's own main, from reset, past the change from plasma to the cake.
TEST_F(Engines, ShowcaseImageFromResetMatchesTheHostSequence) {
  constexpr int kFramesPastTheCakesStart = kShowcaseFramesPerEffect + 3;
  sim::Board native_board(sim::open_audio(codes_));
  {
    auto native = runner::make_native_engine(native_board);
    runner::run_sequence(*native, "showcase", kFramesPastTheCakesStart);
  }
  sim::Board emulated_board(sim::open_audio(codes_));
  runner::FrameCap cap(emulated_board, kFramesPastTheCakesStart);
  emulated_board.add_sink(cap);
  Emulator emulated(kShowcaseImage, emulated_board);
  emulated.run_main();

  EXPECT_EQ(emulated_board.lcd().words(), native_board.lcd().words());
  EXPECT_EQ(messages(emulated_board), "");
}

// Every effect, and the demo from reset, sends the same words whatever the RAM it never
// wrote held at reset.
TEST_F(Engines, NoEffectReadsMemoryItDidNotWrite) {
  Options zero, filled;
  filled.ram_fill = 0xA5;
  auto words = [&](const Options& options, const runner::Effect* effect) {
    sim::Board board(sim::open_audio(codes_));
    runner::FrameCap cap(board, 2);
    if (!effect) board.add_sink(cap);
    Emulator emulated(kImage, board, options);
    if (effect) {
      run_effect(emulated, *effect);
    } else {
      emulated.run_main();
    }
    EXPECT_EQ(messages(board), "") << (effect ? effect->symbol : "demo");
    return board.lcd().words();
  };
  for (const runner::Effect& effect : runner::effects()) {
    EXPECT_EQ(words(filled, &effect), words(zero, &effect)) << effect.symbol;
  }
  EXPECT_EQ(words(filled, nullptr), words(zero, nullptr)) << "demo";
}

TEST_F(Engines, TheFrameCapEndsAMainThatWouldGoOn) {
  sim::Board board(sim::open_audio(codes_));
  runner::FrameCap cap(board, 3);
  board.add_sink(cap);
  Emulator emulated(kImage, board);
  emulated.run_main();
  EXPECT_EQ(board.lcd().frames().size(), 3u);
  EXPECT_EQ(messages(board), "");
}

// A session caps the emulated engine as it caps the native one: the image's main, which would
// go on to 50 frames, and a single effect both end at the frames asked for.
TEST_F(Engines, ASessionEndsAfterExactlyTheFramesAskedFor) {
  for (const char* sequence : {"demo", "plasma"}) {
    std::ostringstream out, err;
    runner::Session session({sequence, 3, 0, "x"}, {}, out, err);
    sim::Board board(sim::open_audio(codes_));
    Emulator emulated(kImage, board);
    session.prepare(board, emulated);
    EXPECT_EQ(session.run(), 0) << err.str();
    EXPECT_EQ(board.lcd().frame_count(), 3u) << sequence;
    EXPECT_EQ(out.str().find("x: 3 frames, "), 0u) << out.str();
  }
}

}  // namespace
}  // namespace emu
