// The firmware's own bring-up and first frame against the board model, as the native runner
// drives them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "board/io.h"
#include "display/lcd.h"
#include "effects/effects.h"
#include "sim/audio_files.h"
#include "sim/board.h"
#include "support/recording_bus.h"
#include "support/temp_dir.h"

namespace {

std::string describe(const std::vector<sim::Finding>& findings) {
  std::string s;
  for (const auto& f : findings) s += f.message + "\n";
  return s;
}

TEST(FirmwareOnBoard, StartupAndOneFrameRunCleanly) {
  sim::Board board(sim::make_audio("silence"));
  test::ScopedBus installed(board);
  processor_init();
  io_init();
  EXPECT_DOUBLE_EQ(board.cclk_hz(), 36e6);
  lcd_init();
  calibratead();
  EXPECT_EQ(avg, 512);  // a constant 512 settles in two passes of 1024
  EXPECT_EQ(board.conversions(), 2048u);
  initpal(0);
  effectPlasma(0);
  EXPECT_TRUE(board.findings().empty()) << describe(board.findings());

  const sim::LcdModel& lcd = board.lcd();
  EXPECT_FALSE(lcd.sleeping());
  EXPECT_TRUE(lcd.display_on());
  EXPECT_EQ(lcd.words().size(), 59u + 9850u);
  ASSERT_EQ(lcd.frames().size(), 1u);
  for (int i = 0; i < sim::kLcdPixels; ++i) {
    ASSERT_EQ(lcd.frames()[0][i], pal[dispram[i]]) << "pixel " << i;
  }
}

// A level that swings between the rails pass by pass never settles (each pass's mean is
// either above the last or far below it), so the calibration loops for ever; without a clock
// the board is what ends it.
TEST(FirmwareOnBoard, ACalibrationThatNeverSettlesIsStoppedNotHung) {
  const test::TempDir dir;
  const auto path = dir / "swinging_codes.txt";
  {
    std::ofstream codes(path);
    for (int i = 0; i < 1024; ++i) codes << "1023\n";
    for (int i = 0; i < 1024; ++i) codes << "0\n";
  }
  sim::Board board(sim::open_audio("codes:" + path.string()));
  test::ScopedBus installed(board);
  processor_init();
  io_init();
  EXPECT_THROW(calibratead(), sim::Stalled);
  // Thousands of passes went by first: a conversion is four accesses (read and write AD0CR,
  // poll and read AD0GDR).
  EXPECT_GT(board.conversions(), sim::Board::kStallAccesses / 5);
}

}  // namespace
