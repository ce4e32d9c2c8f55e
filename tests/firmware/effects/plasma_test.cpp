#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "display/lcd.h"
#include "dsp/sin.h"
#include "effects/effects.h"
#include "effects/plasma.h"
#include "firmware/lcd_words.h"
#include "support/recording_bus.h"

namespace {

constexpr int kW = 98;
constexpr int kH = 67;

int at(int x, int y) {
  return dispram[x + kW * y];
}

// Renders frame n on a recording bus and returns what reached the LCD.
test::LcdTraffic render(int n) {
  test::RecordingBus bus;
  test::ScopedBus scope(bus);
  effectPlasma(n);
  return test::lcd_traffic(bus.log);
}

// The field straight from its definition: five sine terms per pixel, angles wrapped to 16 bits.
std::vector<int> reference_field(int n) {
  auto s = [](long long angle) {
    return static_cast<int>(isin(static_cast<std::int16_t>(angle & 0xFFFF)));
  };
  const long long m = n;
  const int x1 = (icos(static_cast<std::int16_t>((17 * m) & 0xFFFF)) >> 11) + 128;
  const int y1 = (s(15 * m) >> 11) + 128;
  const int x2 = (icos(static_cast<std::int16_t>((14 * m) & 0xFFFF)) >> 11) + 128;
  const int y2 = (s(19 * m) >> 11) + 128;
  const int b = s(21 * m) >> 9;
  std::vector<int> field(kW * kH);
  for (int x = 0; x < kW; ++x) {
    for (int y = 0; y < kH; ++y) {
      int c = s(x - x1 + m) >> 9;
      c += s(7 * (x - x1) + 5 * (y - y1) + 5 * m) >> 9;
      c += s(15 * (y1 - y) - 4 * m - 2 * b) >> 9;
      c += s(20 * (x - x2) + 30 * (y2 - y) - 4 * m) >> 10;
      c += s(14 * m - 9 * (x - x2) + 11 * (y - y2) + b) >> 9;
      field[x + kW * y] = c & 0x7F;
    }
  }
  return field;
}

struct FrameCase {
  int n, x1, y1, x2, y2, b;
  int p00, p970, p066, p9766;
};

class PlasmaFrames : public ::testing::TestWithParam<FrameCase> {};

TEST_P(PlasmaFrames, CentresAndCornerPixels) {
  const FrameCase& f = GetParam();
  const plasma::Frame v = plasma::frame(f.n);
  EXPECT_EQ(v.x1, f.x1);
  EXPECT_EQ(v.y1, f.y1);
  EXPECT_EQ(v.x2, f.x2);
  EXPECT_EQ(v.y2, f.y2);
  EXPECT_EQ(v.b, f.b);
  render(f.n);
  EXPECT_EQ(at(0, 0), f.p00);
  EXPECT_EQ(at(97, 0), f.p970);
  EXPECT_EQ(at(0, 66), f.p066);
  EXPECT_EQ(at(97, 66), f.p9766);
}

INSTANTIATE_TEST_SUITE_P(KnownFrames, PlasmaFrames,
                         ::testing::Values(FrameCase{0, 143, 128, 143, 128, 0, 17, 72, 77, 37},
                                           FrameCase{3, 143, 132, 143, 133, 24, 49, 98, 96, 66},
                                           FrameCase{37, 115, 123, 112, 113, -64, 30, 114, 59, 28},
                                           FrameCase{49, 134, 112, 120, 119, 1, 62, 112, 68, 118}),
                         [](const auto& c) { return "n" + std::to_string(c.param.n); });

TEST(Plasma, FrameZeroMiddleColumn) {
  render(0);
  EXPECT_EQ(at(50, 0), 120);
  EXPECT_EQ(at(50, 66), 6);
}

// Every pixel off the line matches the definition; the line is the only index 128.
TEST(Plasma, WholeFieldMatchesDefinition) {
  for (int n : {0, 1, 3, 37, 49, 500, 1023, -1, -77, 123456789, INT_MAX, INT_MIN}) {
    SCOPED_TRACE(n);
    render(n);
    const std::vector<int> ref = reference_field(n);
    int line = 0;
    int mismatches = 0;
    for (int i = 0; i < kW * kH; ++i) {
      if (dispram[i] == kBackground) {
        ++line;
      } else if (dispram[i] != ref[i]) {
        ++mismatches;
      }
    }
    EXPECT_EQ(mismatches, 0);
    EXPECT_EQ(line, 583);
  }
}

TEST(Plasma, DoesNotReadThePreviousFrame) {
  std::fill(dispram, dispram + kW * kH, 0xFF);
  render(37);
  const std::vector<std::uint8_t> a(dispram, dispram + kW * kH);
  std::fill(dispram, dispram + kW * kH, 0x00);
  render(37);
  EXPECT_TRUE(std::equal(a.begin(), a.end(), dispram));
}

TEST(PlasmaLine, KnownPasses) {
  const auto passes = plasma::line_passes();
  ASSERT_EQ(passes.size(), 491u);
  const std::array<int, 4> first{2940, 3038, 2941, 3039};
  EXPECT_EQ(passes[0].index, first);
  EXPECT_EQ(passes[1].index, first);
  // xx has drifted to 5.9999986 here; exact arithmetic would give row 51.
  EXPECT_EQ(passes[30].index, (std::array<int, 4>{4906, 5004, 4907, 5005}));
  EXPECT_EQ(passes[490].index, (std::array<int, 4>{1273, 1371, 1274, 1372}));
  for (int k = 486; k <= 490; ++k) {
    SCOPED_TRACE(k);
    const auto& i = passes[k].index;
    EXPECT_EQ(i[0] % kW, 97);
    EXPECT_EQ(i[1], i[0] + kW);
    EXPECT_EQ(i[2] % kW, 0);
    EXPECT_EQ(i[2] / kW, i[0] / kW + 1);
    EXPECT_EQ(i[3], i[2] + kW);
  }
  for (int k = 0; k < 486; ++k) {
    EXPECT_EQ(passes[k].index[2], passes[k].index[0] + 1) << k;
  }
}

TEST(PlasmaLine, DrawnOnEveryFrame) {
  std::set<int> expected;
  for (const auto& p : plasma::line_passes()) expected.insert(p.index.begin(), p.index.end());
  EXPECT_EQ(expected.size(), 583u);
  EXPECT_EQ(*expected.rbegin(), 5652);
  for (int n : {0, 49}) {
    render(n);
    std::set<int> drawn;
    for (int i = 0; i < kW * kH; ++i) {
      if (dispram[i] == kBackground) drawn.insert(i);
    }
    EXPECT_EQ(drawn, expected) << n;
    for (int i : {2940, 3038, 2941, 3039, 4906, 5004, 4907, 5005, 1273, 1371, 1274, 1372}) {
      EXPECT_EQ(dispram[i], kBackground) << i;
    }
  }
}

TEST(Plasma, SendsTheFrameOnce) {
  test::RecordingBus bus;
  test::ScopedBus scope(bus);
  initpal(0);
  effectPlasma(3);
  const test::LcdTraffic t = test::lcd_traffic(bus.log);
  ASSERT_EQ(t.words.size(), 9850u);
  EXPECT_EQ(t.words[0], 0x12C);
  // Pixels (0,0) = 49 and (1,0) of frame 3, looked up in palette mode 0.
  const int a = pal[49];
  const int b = pal[dispram[1]];
  EXPECT_EQ(t.words[1], a >> 4);
  EXPECT_EQ(t.words[2], ((a & 0xF) << 4) | (b >> 8));
  EXPECT_EQ(t.words[3], b & 0xFF);
}

}  // namespace
