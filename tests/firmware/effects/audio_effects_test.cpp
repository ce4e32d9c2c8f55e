// The three audio views, each run on a prepared frame with scripted converter input: samples
// around a zero level of 512, after two in-band samples that fire the trigger at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "board/io.h"
#include "display/lcd.h"
#include "effects/effects.h"
#include "firmware/scripted_adc.h"
#include "hw/lpc2138.h"

namespace {

constexpr int kZero = 512;
constexpr int kW = 98;
constexpr int kH = 67;
constexpr std::uint8_t kBg = 128;

using Frame = std::array<std::uint8_t, kW * kH>;
using Point = std::pair<int, int>;  // column, row

int at(int x, int y) {
  return x + kW * y;
}

Frame filled(std::uint8_t v) {
  Frame f;
  f.fill(v);
  return f;
}

Frame random_frame(unsigned seed) {
  std::mt19937 rng(seed);
  Frame f;
  for (auto& p : f) p = static_cast<std::uint8_t>(rng());
  return f;
}

class AudioEffect : public ::testing::Test {
 protected:
  void SetUp() override { avg = kZero; }
  void TearDown() override { avg = 0; }

  // Draws one frame from `before` with these samples; returns the frame and checks that one
  // whole frame went to the LCD.
  Frame run(void (*effect)(int), int n, const Frame& before, const std::vector<int>& samples) {
    adc.codes.assign(adc.conversions, kZero);
    adc.add(kZero, 0, 2);
    for (int s : samples) adc.add(kZero, s);
    adc.after = kZero;
    std::copy(before.begin(), before.end(), std::begin(dispram));
    adc.log.clear();
    effect(n);
    EXPECT_EQ(std::count_if(adc.log.begin(), adc.log.end(),
                            [](const auto& a) {
                              return a.kind == test::Access::Write &&
                                     a.addr == lpc2138::S0SPDR.addr;
                            }),
              9850);
    Frame after;
    std::copy(std::begin(dispram), std::end(dispram), after.begin());
    return after;
  }

  test::ScriptedAdc adc;
  test::ScopedBus scope{adc};
};

// Falling waveform.

int fall_fade(int a) {
  return a == 0 || a == 1 || a == 128 ? 128 : a - 1;
}

TEST_F(AudioEffect, FallColoursTheTopRowByMagnitude) {
  const std::vector<Point> colours = {{0, 90},  {1, 91},   {37, 127},  {-37, 127}, {38, 0},
                                      {-38, 0}, {127, 89}, {-127, 89}, {-128, 90}};
  std::vector<int> samples;
  for (int x = 0; x < kW; ++x) samples.push_back(colours[x % colours.size()].first);
  const Frame f = run(effectFall, 0, filled(kBg), samples);
  for (int x = 0; x < kW; ++x) EXPECT_EQ(f[x], colours[x % colours.size()].second) << x;
}

TEST_F(AudioEffect, FallMovesEachEntryOneRowDownFadingByOne) {
  Frame before = random_frame(1);
  const std::vector<Point> moves = {{2, 1}, {1, 128}, {0, 128}, {128, 128}, {200, 199}, {129, 128}};
  for (std::size_t k = 0; k < moves.size(); ++k) before[at(10 + 5 * k, 20)] = moves[k].first;
  const Frame f = run(effectFall, 0, before, std::vector<int>(kW, 0));
  EXPECT_EQ(run(effectFall, 12345, before, std::vector<int>(kW, 0)), f);  // n is not used

  for (std::size_t k = 0; k < moves.size(); ++k) EXPECT_EQ(f[at(10 + 5 * k, 21)], moves[k].second);
  for (int x = 0; x < kW; ++x) {
    EXPECT_EQ(f[at(x, 0)], 90) << x;
    EXPECT_EQ(f[at(x, 66)], kBg) << x;
  }
  for (int y = 1; y < kH; ++y) {
    EXPECT_EQ(f[at(97, y)], kBg) << y;
    if (y == 66) continue;
    EXPECT_EQ(f[at(0, y)], before[at(0, y)]) << y;  // column 0 is not moved
    for (int x = 1; x <= 96; ++x) {
      ASSERT_EQ(f[at(x, y)], fall_fade(before[at(x, y - 1)])) << x << ", " << y;
    }
  }
}

// From a blank frame (column 0 holding 5), 66 silent frames: row y holds 90 - y.
TEST_F(AudioEffect, FallOfSilenceBuildsADescendingRamp) {
  Frame f = filled(kBg);
  for (int y = 0; y < kH; ++y) f[at(0, y)] = 5;
  for (int call = 0; call < 66; ++call) f = run(effectFall, call, f, std::vector<int>(kW, 0));
  for (int y = 0; y < kH; ++y) {
    for (int x = 1; x <= 96; ++x) ASSERT_EQ(f[at(x, y)], y < 66 ? 90 - y : kBg) << x << ", " << y;
    EXPECT_EQ(f[at(0, y)], y == 0 ? 90 : y < 66 ? 5 : kBg) << y;
    EXPECT_EQ(f[at(97, y)], y == 0 ? 90 : kBg) << y;
  }
}

// Round wave.

int round_fade(int a) {
  return a <= 3 || a == 128 ? 128 : a - 3;
}

std::set<Point> points_of(const Frame& f) {
  std::set<Point> p;
  for (int i = 0; i < kW * kH; ++i) {
    if (f[i] == 127) p.insert({i % kW, i / kW});
  }
  return p;
}

TEST_F(AudioEffect, RoundWavePointPositions) {
  const auto silence = points_of(run(effectRoundWave, 0, filled(kBg), std::vector<int>(128, 0)));
  EXPECT_EQ(silence.size(), 68u);
  const std::vector<std::pair<int, std::vector<Point>>> cases = {
      {0, {{65, 53}, {72, 51}, {74, 44}, {72, 36}, {65, 34}, {55, 44}}},  // r = 20
      {127, {{65, 66}, {90, 44}, {65, 18}, {39, 44}}},   // r = 51; row 69 held on 66
      {-128, {{65, 38}, {59, 44}, {65, 49}, {70, 44}}},  // r = -12, opposite the angles
  };
  for (const auto& [s, points] : cases) {
    const auto p = points_of(run(effectRoundWave, 0, filled(kBg), std::vector<int>(128, s)));
    for (Point q : points) EXPECT_TRUE(p.count(q)) << s << ": " << q.first << ", " << q.second;
  }
}

TEST_F(AudioEffect, RoundWaveRadiusZeroAndTheBottomRow) {
  std::vector<int> samples;
  for (int i = 0; i < 128; ++i) samples.push_back(-80 + i % 4);  // r = 0 for -80..-77
  EXPECT_EQ(points_of(run(effectRoundWave, 0, filled(kBg), samples)), (std::set<Point>{{65, 44}}));
  for (int s0 : {108, 107}) {  // rows 67 (held) and 66
    samples[0] = s0;
    EXPECT_EQ(points_of(run(effectRoundWave, 0, filled(kBg), samples)),
              (std::set<Point>{{65, 44}, {65, 66}}));
  }
}

TEST_F(AudioEffect, RoundWaveMovesEachEntryUpLeftFadingByThree) {
  Frame before = random_frame(3);
  const std::vector<Point> moves = {{127, 124}, {4, 1},     {3, 128},  {1, 128},
                                    {128, 128}, {130, 127}, {131, 128}};
  for (std::size_t k = 0; k < moves.size(); ++k) before[at(5 + 6 * k, 10)] = moves[k].first;
  const std::vector<int> centre(128, -80);  // every point on (65, 44)
  const Frame f = run(effectRoundWave, 7, before, centre);
  EXPECT_EQ(run(effectRoundWave, -1000, before, centre), f);  // n is not used

  for (std::size_t k = 0; k < moves.size(); ++k) EXPECT_EQ(f[at(4 + 6 * k, 9)], moves[k].second);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const int expected = x == 65 && y == 44   ? 127
                           : x == 97 || y == 66 ? kBg
                                                : round_fade(before[at(x + 1, y + 1)]);
      ASSERT_EQ(f[at(x, y)], expected) << x << ", " << y;
    }
  }
}

// Spectrum and wave. Input: a constant c with a first sample s0. Captured times 32, the
// constant leaves 32c in the first transformed value only, and the difference is an imaginary
// impulse that each of the eight stages halves: 32c + (s0 - c) / 8 in the first value and
// (s0 - c) / 8 in all others, exact while s0 - c is a multiple of 8 and |c| <= 512. Each value
// adds value / 16 to its column; the waveform is c / 8 (floored) in every column.
std::vector<int> dc_with_first(int c, int s0) {
  std::vector<int> s(512, c);
  s[0] = s0;
  return s;
}

// Two's-complement wrap of n + 4x, spelt in unsigned arithmetic.
int trace_colour(int n, int x) {
  return static_cast<int>((static_cast<unsigned>(n) + 4u * static_cast<unsigned>(x)) & 0x7Fu);
}

// The frame for bars only in column 0 (bottom-up colours) and a flat trace on `row`.
Frame bar_and_trace(const std::vector<int>& bar, int row, int n) {
  Frame f = filled(kBg);
  for (std::size_t k = 0; k < bar.size(); ++k) f[at(0, 66 - static_cast<int>(k))] = bar[k];
  for (int x = 1; x < kW; ++x) f[at(x, row)] = trace_colour(n, x);
  return f;
}

TEST_F(AudioEffect, SpectrumBarHeightsAndColours) {
  struct Case {
    int c, s0, trace_row;
    std::vector<int> bar;  // from the bottom
  };
  std::vector<int> h50;  // 22, 19 .. 1 (row 59), 126 (row 58) .. 3 (row 17)
  for (int k = 0; k < 50; ++k) h50.push_back(3 * (50 - k) % 128);
  std::vector<int> h67, h100;
  for (int k = 0; k < 67; ++k) h67.push_back(3 * (67 - k) % 128);    // 73 .. 3
  for (int k = 0; k < 67; ++k) h100.push_back(3 * (100 - k) % 128);  // 44 .. 102
  const Case cases[] = {
      {25, 25, 17, h50},   // fft[0] = 800 / 16 = 50
      {34, -30, 18, h67},  // (1088 - 8) / 16 = 67, the rest -8 / 16 = 0
      {50, 50, 19, h100},  // 100: cut at the frame's height
      {-25, -25, 14, {}},  // -50: no bar
      {64, 64, 20, {}},    // 128 wraps to -128: no bar
  };
  for (const Case& k : cases) {
    const Frame f = run(effectFftAndWave, 9, random_frame(5), dc_with_first(k.c, k.s0));
    EXPECT_EQ(f, bar_and_trace(k.bar, k.trace_row, 9)) << "c = " << k.c;
  }
}

// s0 = 128 alone: 16 in every transformed value, so bars of 1 (index 3) and, where two values
// fold onto one column, 2 (6 under 3).
TEST_F(AudioEffect, SpectrumBarsOfOneAndTwo) {
  const Frame f = run(effectFftAndWave, 0, filled(0), dc_with_first(0, 128));
  int doubles = 0;
  for (int x = 0; x < kW; ++x) {
    EXPECT_EQ(f[at(x, 66)], f[at(x, 65)] == kBg ? 3 : 6) << x;
    if (f[at(x, 65)] == 3) ++doubles;
    EXPECT_EQ(f[at(x, 64)], kBg) << x;
  }
  EXPECT_EQ(doubles, 30);
  for (int x : {0, 3, 6, 9, 13}) EXPECT_EQ(f[at(x, 65)], 3) << x;
}

TEST_F(AudioEffect, TraceColoursFollowTheFrameCounter) {
  for (int n : {0, -5, 1000, 2147483647, -2147483647 - 1}) {
    const Frame f = run(effectFftAndWave, n, filled(kBg), dc_with_first(0, 0));
    EXPECT_EQ(f, bar_and_trace({}, 16, n)) << n;
  }
  const Frame f = run(effectFftAndWave, 0, filled(kBg), dc_with_first(0, 0));
  EXPECT_EQ((std::vector<int>{f[at(1, 16)], f[at(31, 16)], f[at(32, 16)], f[at(97, 16)]}),
            (std::vector<int>{4, 124, 0, 4}));
  EXPECT_EQ(run(effectFftAndWave, -5, filled(kBg), dc_with_first(0, 0))[at(1, 16)], 127);
}

// Rows are 16 + v / 2 with the quotient truncated: -1, 0 and 1 share row 16, -3 is on 15.
TEST_F(AudioEffect, TraceRowsHalveTowardZero) {
  for (auto [c, row] : {Point{-1, 16}, {8, 16}, {-20, 15}, {-40, 14}}) {  // c / 8: -1 1 -3 -5
    const Frame f = run(effectFftAndWave, 0, filled(kBg), dc_with_first(c, c));
    for (int x = 1; x < kW; ++x) {
      for (int y = 0; y < kH; ++y) {
        ASSERT_EQ(f[at(x, y)], y == row ? trace_colour(0, x) : kBg) << c << ": " << x << ", " << y;
      }
    }
  }
}

// Even samples of +-300 limit to +-32, flipping sign from x = 64 on (column 49): that column
// joins -32 and 32, rows 0 to 32, whichever comes first.
TEST_F(AudioEffect, TraceJoinsNeighbouringSamples) {
  for (int sign : {1, -1}) {
    std::vector<int> samples(512, 0);
    for (int x = 0; x < 128; ++x) samples[2 * x] = (x < 64 ? 300 : -300) * sign;
    const Frame f = run(effectFftAndWave, 0, filled(kBg), samples);
    for (int y = 0; y <= 32; ++y) EXPECT_EQ(f[at(49, y)], trace_colour(0, 49)) << y;
    EXPECT_EQ(f[at(48, sign > 0 ? 32 : 0)], trace_colour(0, 48));
    EXPECT_EQ(f[at(50, sign > 0 ? 0 : 32)], trace_colour(0, 50));
  }
}

}  // namespace
