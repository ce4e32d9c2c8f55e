#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "display/lcd.h"

namespace {

int red(int c) {
  return (c >> 8) & 0xF;
}
int green(int c) {
  return (c >> 4) & 0xF;
}
int blue(int c) {
  return c & 0xF;
}

// Ramp k at level L: bit 0 of k lights red, bit 1 green, bit 2 blue.
int ramp(int k, int level) {
  return ((k & 1) ? level * 0x100 : 0) + ((k & 2) ? level * 0x10 : 0) + ((k & 4) ? level : 0);
}

void expect_ramps() {
  for (int k = 0; k < 8; ++k) {
    for (int level = 0; level < 16; ++level) {
      EXPECT_EQ(pal[128 + 16 * k + level], ramp(k, level)) << k << "," << level;
    }
  }
}

// A rainbow channel from the library sine: level 8 plus the Q15 sine divided by 4096, rounded
// toward zero, for the angle 8x + phase in 1024ths of a turn.
int rainbow_level(int x, int phase) {
  const double s = 32767.0 * std::sin((8 * x + phase) * std::numbers::pi / 512.0);
  const double r = std::round(s);
  const int q15 = std::fabs(s - r) < 1e-6 ? static_cast<int>(r) : static_cast<int>(std::trunc(s));
  return 8 + q15 / 4096;
}

TEST(Palette, ModeZeroReferenceEntries) {
  initpal(0);
  const struct {
    int x, colour;
  } refs[] = {{0, 0x8E2},  {16, 0xDA1}, {21, 0xE81}, {32, 0xF54}, {43, 0xE28},  {48, 0xD1A},
              {64, 0x82E}, {80, 0x36F}, {85, 0x28F}, {96, 0x1BC}, {112, 0x3F6}, {127, 0x8F2}};
  for (const auto& r : refs) EXPECT_EQ(pal[r.x], r.colour) << r.x;
}

TEST(Palette, ModeZeroIsAThreePhaseRainbow) {
  initpal(0);
  for (int x = 0; x < 128; ++x) {
    EXPECT_EQ(red(pal[x]), rainbow_level(x, 0)) << x;
    EXPECT_EQ(green(pal[x]), rainbow_level(x, 341)) << x;
    EXPECT_EQ(blue(pal[x]), rainbow_level(x, 682)) << x;
  }
}

TEST(Palette, ModeZeroChannelsNeverOff) {
  initpal(0);
  int lo = 15, hi = 0;
  for (int x = 0; x < 128; ++x) {
    for (int ch : {red(pal[x]), green(pal[x]), blue(pal[x])}) {
      lo = std::min(lo, ch);
      hi = std::max(hi, ch);
    }
  }
  EXPECT_EQ(lo, 1);
  EXPECT_EQ(hi, 15);
}

TEST(Palette, RampsAndBlackBackgroundInEveryModeButTwo) {
  for (int mode : {0, 1, 3, 255}) {
    SCOPED_TRACE(mode);
    std::fill(pal, pal + 256, 0xABC);
    initpal(static_cast<std::uint8_t>(mode));
    expect_ramps();
    EXPECT_EQ(pal[kBackground], 0x000);
  }
}

TEST(Palette, ModeOneBlackToBlueToWhite) {
  initpal(1);
  for (int x = 0; x < 64; ++x) EXPECT_EQ(pal[x], x / 4) << x;
  for (int x = 64; x < 128; ++x) {
    const int level = (x - 64) / 4;
    EXPECT_EQ(pal[x], level * 0x110 + 0xF) << x;
  }
  for (int x : {0, 1, 2, 3}) EXPECT_EQ(pal[x], 0x000);
  for (int x : {124, 125, 126, 127}) EXPECT_EQ(pal[x], 0xFFF);
  for (int x = 60; x <= 67; ++x) EXPECT_EQ(pal[x], 0x00F) << x;
}

// Entry 128 + x is entry x with red and green halved and blue kept, both from the colour map.
TEST(Palette, ModeTwoPictureColoursAndShadedCopy) {
  initpal(2);
  for (int x = 0; x < 128; ++x) {
    const int r = header_data_cmap[3 * x], g = header_data_cmap[3 * x + 1],
              b = header_data_cmap[3 * x + 2];
    SCOPED_TRACE(x);
    EXPECT_EQ(red(pal[x]), r / 16);
    EXPECT_EQ(green(pal[x]), g / 16);
    EXPECT_EQ(blue(pal[x]), b / 16);
    EXPECT_EQ(red(pal[128 + x]), r / 32);
    EXPECT_EQ(green(pal[128 + x]), g / 32);
    EXPECT_EQ(blue(pal[128 + x]), blue(pal[x]));
    EXPECT_EQ(pal[128 + x], ((pal[x] >> 1) & 0x770) | (pal[x] & 0xF));
  }
}

TEST(Palette, RampsComeBackAfterModeTwo) {
  for (int mode : {0, 1}) {
    initpal(2);
    initpal(static_cast<std::uint8_t>(mode));
    expect_ramps();
  }
}

TEST(Palette, OtherModesKeepTheLowerHalf) {
  std::fill(pal, pal + 256, 0);
  initpal(3);
  for (int x = 0; x < 128; ++x) EXPECT_EQ(pal[x], 0) << x;
  initpal(1);
  initpal(200);
  for (int x = 0; x < 64; ++x) EXPECT_EQ(pal[x], x / 4) << x;
}

TEST(Palette, NoEntryAboveTwelveBits) {
  for (int mode : {0, 1, 2, 3}) {
    initpal(static_cast<std::uint8_t>(mode));
    for (int i = 0; i < 256; ++i) EXPECT_LE(pal[i], 0xFFF) << mode << "," << i;
  }
}

TEST(FrameBuffer, LayoutAndAlignment) {
  EXPECT_EQ(sizeof(dispram), 6566u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(dispram) % 2, 0u);
  EXPECT_EQ(&dispram[97 + 98 * 66], &dispram[6565]);
}

}  // namespace
