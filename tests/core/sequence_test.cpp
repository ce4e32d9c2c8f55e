// A sequence stepped frame by frame on the native engine, linked without any output library:
// the frames the firmware draws when main's bring-up and the effect are called by hand.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "runner/engine.h"
#include "runner/run.h"
#include "sim/audio.h"
#include "sim/board.h"

namespace {

// Across the counter's wrap, as main's bring-up then fall's palette and renderer called by hand
// draw it; the counter is the one of the frame the next step draws.
TEST(Sequence, StepsDrawWhatTheFirmwareCalledByHandDraws) {
  constexpr std::int32_t kStart = 2147483646;
  std::vector<std::uint16_t> by_hand;
  {
    sim::Board board(sim::make_audio("silence"));
    auto engine = runner::make_native_engine(board);
    for (const char* step : {"processor_init", "io_init", "lcd_init", "calibratead"}) {
      engine->call(step);
    }
    engine->call("initpal", {0});
    for (std::int32_t n : {2147483646, 2147483647, -2147483647 - 1}) {
      engine->call("effectFall", {n});
    }
    by_hand = board.lcd().words();
    ASSERT_EQ(board.lcd().frame_count(), 3u);
  }
  sim::Board board(sim::make_audio("silence"));
  auto engine = runner::make_native_engine(board);
  runner::Sequence fall(*engine, "fall", kStart);
  EXPECT_EQ(board.lcd().frame_count(), 0u);  // bring-up and palette draw no frame
  std::vector<std::int32_t> counters{fall.counter()};
  for (int k = 0; k < 3; ++k) {
    fall.step();
    counters.push_back(fall.counter());
    EXPECT_EQ(board.lcd().frame_count(), static_cast<std::size_t>(k + 1));
  }
  EXPECT_EQ(counters,
            (std::vector<std::int32_t>{2147483646, 2147483647, -2147483647 - 1, -2147483647}));
  EXPECT_EQ(board.lcd().words(), by_hand);
}

// demo's first step is the image's main: its 50 plasma frames, then nothing more however often
// it is stepped.
TEST(Sequence, DemoRunsTheImagesMainOnce) {
  sim::Board board(sim::make_audio("silence"));
  auto engine = runner::make_native_engine(board);
  runner::Sequence demo(*engine, "demo");
  EXPECT_EQ(board.lcd().word_count(), 0u);  // nothing before the first step, not even bring-up
  demo.step();
  EXPECT_EQ(board.lcd().frame_count(), 50u);
  const std::size_t words = board.lcd().word_count();
  demo.step();
  demo.step();
  EXPECT_EQ(board.lcd().frame_count(), 50u);
  EXPECT_EQ(board.lcd().word_count(), words);
}

}  // namespace
