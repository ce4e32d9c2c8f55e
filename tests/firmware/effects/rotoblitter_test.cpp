#include "effects/rotoblitter.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "display/lcd.h"
#include "dsp/sin.h"

namespace {

constexpr int kW = 150;
constexpr int kH = 102;

// Two synthetic pictures whose pixels name their own column and row, so a screen pixel tells
// which picture pixel the blitter read.
std::vector<std::uint8_t> coordinate_picture(bool column, int w = kW, int h = kH) {
  std::vector<std::uint8_t> pic(static_cast<std::size_t>(w * h));
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) pic[x + w * y] = static_cast<std::uint8_t>(column ? x : y);
  }
  return pic;
}

struct Shown {
  int col, row;
  bool operator==(const Shown&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Shown& s) {
  return os << "(" << s.col << ", " << s.row << ")";
}

// The picture pixel shown at every screen pixel, index x + 98 * y.
std::vector<Shown> view(int deg, std::int32_t zoom, int midx, int midy, int w = kW, int h = kH) {
  const auto blit = [&](bool column) {
    const auto pic = coordinate_picture(column, w, h);
    rotoblit(pic.data(), static_cast<std::int16_t>(w), static_cast<std::int16_t>(h),
             static_cast<std::int16_t>(deg), zoom, static_cast<std::uint8_t>(midx),
             static_cast<std::uint8_t>(midy));
    return std::vector<std::uint8_t>(dispram, dispram + kFramePixels);
  };
  const auto cols = blit(true);
  const auto rows = blit(false);
  std::vector<Shown> out;
  for (int i = 0; i < kFramePixels; ++i) out.push_back({cols[i], rows[i]});
  return out;
}

Shown at(const std::vector<Shown>& v, int x, int y) {
  return v[x + kFrameWidth * y];
}

int wrap(long long v, int n) {
  return static_cast<int>(((v % n) + n) % n);
}

// One screen step at 1:1 zoom is 32767 * 256 / 8388607 = 0.99997 picture pixels; truncation
// turns an offset of d into d - 1 away from zero, and +-1 into 0.
int one_to_one(int d) {
  return d >= 1 ? d - 1 : d <= -1 ? d + 1 : 0;
}

// Straightforward per-pixel form, in 64 bits, with the four truncating divisions.
std::vector<Shown> reference(int deg, std::int32_t zoom, int midx, int midy, int w = kW,
                             int h = kH) {
  const long long co = icos(static_cast<std::int16_t>(deg));
  const long long si = isin(static_cast<std::int16_t>(deg));
  const long long z = static_cast<std::int16_t>(zoom);
  constexpr long long k = 8388607;
  std::vector<Shown> out(kFramePixels);
  for (int x = 0; x < kFrameWidth; ++x) {
    for (int y = 0; y < kFrameHeight; ++y) {
      const long long dx = x - midx, dy = y - midy;
      const long long sx = co * dx * z / k + si * dy * z / k - w / 2;
      const long long sy = co * dy * z / k - si * dx * z / k - h / 2;
      out[x + kFrameWidth * y] = {wrap(sx, w), wrap(sy, h)};
    }
  }
  return out;
}

TEST(Rotoblit, HalfSizeCornersShowTheExpectedPicturePixels) {
  const auto v = view(0, 512, 49, 33);
  EXPECT_EQ(at(v, 0, 0), (Shown{128, 88}));
  EXPECT_EQ(at(v, 97, 0), (Shown{20, 88}));
  EXPECT_EQ(at(v, 0, 66), (Shown{128, 14}));
  EXPECT_EQ(at(v, 97, 66), (Shown{20, 14}));
  EXPECT_EQ(at(v, 49, 33), (Shown{75, 51}));
}

TEST(Rotoblit, TurnedAndZoomedCornersShowTheExpectedPicturePixels) {
  const auto v = view(436, 918, 61, 39);
  EXPECT_EQ(at(v, 0, 0), (Shown{58, 69}));
  EXPECT_EQ(at(v, 97, 0), (Shown{48, 15}));
  EXPECT_EQ(at(v, 0, 66), (Shown{13, 63}));
  EXPECT_EQ(at(v, 97, 66), (Shown{3, 9}));
}

TEST(Rotoblit, ZoomZeroShowsTheMiddlePixelEverywhere) {
  for (const Shown& s : view(300, 0, 10, 60)) ASSERT_EQ(s, (Shown{75, 51}));
  // An odd size: the middle is column 7 - 3 and row 5 - 2.
  for (const Shown& s : view(0, 0, 49, 33, 7, 5)) ASSERT_EQ(s, (Shown{4, 3}));
}

TEST(Rotoblit, OneToOneRepeatsTheMiddleColumnAndRowThreeTimes) {
  const int midx = 49, midy = 33;
  const auto v = view(0, 256, midx, midy);
  for (int y = 0; y < kFrameHeight; ++y) {
    for (int x = 0; x < kFrameWidth; ++x) {
      ASSERT_EQ(at(v, x, y), (Shown{75 + one_to_one(x - midx), 51 + one_to_one(y - midy)}))
          << "screen " << x << ", " << y;
    }
  }
  EXPECT_EQ(at(v, midx - 1, midy).col, 75);
  EXPECT_EQ(at(v, midx + 1, midy).col, 75);
  EXPECT_EQ(at(v, midx + 2, midy).col, 76);
  EXPECT_EQ(at(v, midx - 2, midy).col, 74);
}

TEST(Rotoblit, QuarterTurnMapsScreenRightToPictureUpAndScreenDownToPictureRight) {
  const int midx = 40, midy = 30;
  const auto v = view(256, 256, midx, midy);
  for (int y = 0; y < kFrameHeight; ++y) {
    for (int x = 0; x < kFrameWidth; ++x) {
      const Shown want{wrap(75 + one_to_one(y - midy), kW), wrap(51 - one_to_one(x - midx), kH)};
      ASSERT_EQ(at(v, x, y), want) << "screen " << x << ", " << y;
    }
  }
}

TEST(Rotoblit, EachTermIsTruncatedOnItsOwn) {
  // At an eighth of a turn co = si = 23169; one step right and down gives two terms of 0.707
  // each. Truncated separately they add to 0; summed first they would make 1.
  const auto v = view(128, 256, 49, 33);
  EXPECT_EQ(at(v, 50, 34), (Shown{75, 51}));
  EXPECT_EQ(at(v, 51, 35).col, 77);  // two terms of 1.414: 1 + 1
}

TEST(Rotoblit, MatchesThePerPixelFormulaAcrossTheCakesRange) {
  struct Case {
    int deg, zoom, midx, midy;
  };
  // Each within the blitter's range: |zoom| * 32767 * the largest offset stays below 2^31.
  const Case cases[] = {{0, 512, 49, 33},     {436, 918, 61, 39},   {448, 417, 36, 26},
                        {-2048, 4, 33, 17},   {2047, 1018, 64, 48}, {700, 1022, 49, 33},
                        {-333, -600, 97, 66}, {1, 257, 97, 66},     {-1, 255, 200, 3}};
  for (const Case& c : cases) {
    ASSERT_EQ(view(c.deg, c.zoom, c.midx, c.midy), reference(c.deg, c.zoom, c.midx, c.midy))
        << "deg " << c.deg << " zoom " << c.zoom << " mid " << c.midx << ", " << c.midy;
  }
}

// Each term is wrapped by stepping from its neighbour's wrap: on small pictures one screen step
// crosses the picture several times over, in either direction.
TEST(Rotoblit, MatchesThePerPixelFormulaOnPicturesSmallerThanAStep) {
  struct Case {
    int w, h, deg, zoom;
  };
  const Case cases[] = {{3, 2, 436, 1022}, {7, 5, -300, -1018}, {1, 9, 100, 900}, {13, 1, 0, 1023}};
  for (const Case& c : cases) {
    ASSERT_EQ(view(c.deg, c.zoom, 40, 30, c.w, c.h), reference(c.deg, c.zoom, 40, 30, c.w, c.h))
        << c.w << " x " << c.h << " deg " << c.deg << " zoom " << c.zoom;
  }
}

TEST(Rotoblit, OnlyTheAnglesLowBitsAndTheZoomsLow16BitsCount) {
  EXPECT_EQ(view(436, 918, 61, 39), view(436 + 1024, 918, 61, 39));
  EXPECT_EQ(view(-300, 700, 20, 20), view(-300 - 1024, 700, 20, 20));
  EXPECT_EQ(view(100, 0x10000 + 512, 49, 33), view(100, 512, 49, 33));
  // A negative zoom is a further half turn.
  EXPECT_EQ(view(0, -256, 49, 33), view(512, 256, 49, 33));
}

TEST(Rotoblit, LargeZoomTilesThePicture) {
  const auto v = view(0, 1022, 49, 33);
  // About 391 picture columns across the screen: the 150 columns come round at least twice.
  int wraps = 0;
  for (int x = 1; x < kFrameWidth; ++x) wraps += at(v, x, 10).col < at(v, x - 1, 10).col;
  EXPECT_GE(wraps, 2);
  EXPECT_LE(wraps, 3);
}

TEST(Rotoblit, AnEmptyPictureLeavesTheFrameAlone) {
  std::fill(dispram, dispram + kFramePixels, std::uint8_t{0x5A});
  const std::uint8_t pixel = 1;
  rotoblit(&pixel, 0, 1, 0, 256, 49, 33);
  rotoblit(&pixel, 1, 0, 0, 256, 49, 33);
  rotoblit(&pixel, -4, 1, 0, 256, 49, 33);
  for (int i = 0; i < kFramePixels; ++i) ASSERT_EQ(dispram[i], 0x5A) << i;
  rotoblit(&pixel, 1, 1, 321, 777, 49, 33);  // a 1 x 1 picture fills the frame
  for (int i = 0; i < kFramePixels; ++i) ASSERT_EQ(dispram[i], 1) << i;
}

}  // namespace
