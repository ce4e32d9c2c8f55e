#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>

#include "dsp/sin.h"

namespace {

// trunc(32767 * sin(a * pi / 512)) from the C library, snapping the few products that land on
// an integer (the quarter points), where a last-bit error would truncate one unit low.
int reference(int a) {
  const double v = 32767.0 * std::sin(a * std::numbers::pi / 512.0);
  const double r = std::round(v);
  return std::fabs(v - r) < 1e-6 ? static_cast<int>(r) : static_cast<int>(std::trunc(v));
}

TEST(Sintab, EveryEntryFollowsTheTruncationRule) {
  for (int i = 0; i <= 256; ++i) {
    const double v = 32767.0 * std::sin(i * std::numbers::pi / 512.0);
    EXPECT_EQ(sintab[i], static_cast<int>(std::trunc(v))) << i;
  }
}

TEST(Sintab, ReferenceEntries) {
  EXPECT_EQ(sintab[0], 0);
  EXPECT_EQ(sintab[1], 201);
  EXPECT_EQ(sintab[2], 402);
  EXPECT_EQ(sintab[7], 1406);  // rounding would give 1407
  EXPECT_EQ(sintab[64], 12539);
  EXPECT_EQ(sintab[128], 23169);
  EXPECT_EQ(sintab[192], 30272);
  EXPECT_EQ(sintab[255], 32766);
  EXPECT_EQ(sintab[256], 32767);
}

struct Point {
  int g, sin, cos;
};

TEST(Isin, QuarterPointsAndWrapping) {
  const Point points[] = {{0, 0, 32767},         {1, 201, 32766},      {128, 23169, 23169},
                          {256, 32767, 0},       {384, 23169, -23169}, {512, 0, -32767},
                          {640, -23169, -23169}, {768, -32767, 0},     {1023, -201, 32766},
                          {1024, 0, 32767},      {-1, -201, 32766},    {-256, -32767, 0},
                          {-512, 0, -32767},     {255, 32766, 201},    {257, 32766, -201},
                          {32767, -201, 32766},  {-32768, 0, 32767}};
  for (const Point& p : points) {
    const auto g = static_cast<std::int16_t>(p.g);
    EXPECT_EQ(isin(g), p.sin) << p.g;
    EXPECT_EQ(icos(g), p.cos) << p.g;
  }
}

TEST(Isin, EveryAngleMatchesTheLibrarySine) {
  for (int g = -32768; g <= 32767; ++g) {
    const auto a = static_cast<std::int16_t>(g);
    ASSERT_EQ(isin(a), reference(g & 1023)) << g;
    ASSERT_EQ(icos(a), reference((g + 256) & 1023)) << g;
  }
}

}  // namespace
