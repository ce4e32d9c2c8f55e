// The three audio views, each run on a prepared frame with scripted converter input. Samples
// are fed around a zero level of 512, after two in-band samples that fire the trigger at once.
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
#include "hw/lpc2138.h"
#include "scripted_adc.h"

namespace {

using test::ScopedBus;
using test::ScriptedAdc;

constexpr int kZero = 512;
constexpr int kW = 98;
constexpr int kH = 67;
constexpr std::uint8_t kBg = 128;

using Frame = std::array<std::uint8_t, kW * kH>;

int at(int x, int y) {
  return x + kW * y;
}

Frame current() {
  Frame f;
  std::copy(std::begin(dispram), std::end(dispram), f.begin());
  return f;
}

void load(const Frame& f) {
  std::copy(f.begin(), f.end(), std::begin(dispram));
}

Frame filled(std::uint8_t v) {
  Frame f;
  f.fill(v);
  return f;
}

Frame random_frame(unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> any(0, 255);
  Frame f;
  for (auto& p : f) p = static_cast<std::uint8_t>(any(rng));
  return f;
}

class AudioEffect : public ::testing::Test {
 protected:
  void SetUp() override { avg = kZero; }
  void TearDown() override { avg = 0; }

  // The next capture: two in-band samples for the trigger, then these, then silence.
  void feed(const std::vector<int>& samples) {
    adc.codes.resize(adc.conversions, kZero);
    adc.add(kZero, 0, 2);
    for (int s : samples) adc.add(kZero, s);
    adc.after = kZero;
  }

  // Runs one frame and returns how many words went to the LCD.
  int run(void (*effect)(int), int n) {
    adc.log.clear();
    effect(n);
    return static_cast<int>(std::count_if(adc.log.begin(), adc.log.end(), [](const auto& a) {
      return a.kind == test::Access::Write && a.addr == lpc2138::S0SPDR.addr;
    }));
  }

  ScriptedAdc adc;
  ScopedBus scope{adc};
};

// Falling waveform.

int fall_fade(int a) {
  return a == 0 || a == 1 || a == 128 ? 128 : a - 1;
}

TEST_F(AudioEffect, FallColoursTheTopRowByMagnitude) {
  const std::vector<std::pair<int, int>> cases = {{0, 90},    {1, 91},    {37, 127},
                                                  {-37, 127}, {38, 0},    {-38, 0},
                                                  {127, 89},  {-127, 89}, {-128, 90}};
  std::vector<int> samples;
  for (int x = 0; x < kW; ++x) samples.push_back(cases[x % cases.size()].first);
  feed(samples);
  load(filled(kBg));
  EXPECT_EQ(run(effectFall, 0), 9850);
  for (int x = 0; x < kW; ++x) EXPECT_EQ(dispram[x], cases[x % cases.size()].second) << x;
}

TEST_F(AudioEffect, FallMovesEachEntryOneRowDownFadingByOne) {
  Frame before = random_frame(1);
  const std::vector<std::pair<int, int>> moves = {{2, 1},     {1, 128},   {0, 128},
                                                  {128, 128}, {200, 199}, {129, 128}};
  for (std::size_t k = 0; k < moves.size(); ++k) before[at(10 + 5 * k, 20)] = moves[k].first;
  load(before);
  feed(std::vector<int>(kW, 0));
  run(effectFall, 0);
  const Frame after = current();

  for (std::size_t k = 0; k < moves.size(); ++k) {
    EXPECT_EQ(after[at(10 + 5 * k, 21)], moves[k].second) << "from " << moves[k].first;
  }
  for (int x = 0; x < kW; ++x) {
    EXPECT_EQ(after[at(x, 0)], 90) << x;
    EXPECT_EQ(after[at(x, 66)], kBg) << x;
  }
  for (int y = 1; y < kH; ++y) EXPECT_EQ(after[at(97, y)], kBg) << y;
  for (int y = 1; y <= 65; ++y) EXPECT_EQ(after[at(0, y)], before[at(0, y)]) << y;
  for (int y = 1; y <= 65; ++y) {
    for (int x = 1; x <= 96; ++x) {
      ASSERT_EQ(after[at(x, y)], fall_fade(before[at(x, y - 1)])) << x << ", " << y;
    }
  }
}

TEST_F(AudioEffect, FallOfSilenceBuildsADescendingRamp) {
  load(filled(kBg));
  for (int call = 0; call < 66; ++call) {
    feed(std::vector<int>(kW, 0));
    run(effectFall, call);
  }
  for (int y = 0; y <= 65; ++y) {
    for (int x = 1; x <= 96; ++x) ASSERT_EQ(dispram[at(x, y)], 90 - y) << x << ", " << y;
  }
  for (int x = 0; x < kW; ++x) EXPECT_EQ(dispram[at(x, 66)], kBg) << x;
  for (int x : {0, 97}) {
    EXPECT_EQ(dispram[at(x, 0)], 90);
    for (int y = 1; y < kH; ++y) EXPECT_EQ(dispram[at(x, y)], kBg) << x << ", " << y;
  }
}

TEST_F(AudioEffect, FallLeavesTheLeftColumnBelowTheTopAlone) {
  Frame before = filled(kBg);
  for (int y = 0; y < kH; ++y) before[at(0, y)] = 5;
  load(before);
  for (int call = 0; call < 3; ++call) {
    feed(std::vector<int>(kW, 0));
    run(effectFall, call);
  }
  EXPECT_EQ(dispram[at(0, 0)], 90);
  for (int y = 1; y <= 65; ++y) EXPECT_EQ(dispram[at(0, y)], 5) << y;
  EXPECT_EQ(dispram[at(0, 66)], kBg);
}

TEST_F(AudioEffect, FallIgnoresTheFrameCounter) {
  std::vector<int> samples;
  for (int x = 0; x < kW; ++x) samples.push_back((x * 37) % 256 - 128);
  Frame result[2];
  const int counters[2] = {0, 12345};
  for (int k = 0; k < 2; ++k) {
    load(random_frame(2));
    feed(samples);
    run(effectFall, counters[k]);
    result[k] = current();
  }
  EXPECT_EQ(result[0], result[1]);
}

// Round wave.

int round_fade(int a) {
  return a <= 3 || a == 128 ? 128 : a - 3;
}

std::set<std::pair<int, int>> points_of(const Frame& f) {
  std::set<std::pair<int, int>> p;
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      if (f[at(x, y)] == 127) p.insert({x, y});
    }
  }
  return p;
}

TEST_F(AudioEffect, RoundWaveOfSilenceIsACircleOfRadiusTen) {
  load(filled(kBg));
  feed(std::vector<int>(128, 0));
  EXPECT_EQ(run(effectRoundWave, 0), 9850);
  const Frame f = current();
  const auto p = points_of(f);
  EXPECT_EQ(p.size(), 68u);
  for (auto q : {std::pair{65, 53}, {72, 51}, {74, 44}, {72, 36}, {65, 34}, {55, 44}}) {
    EXPECT_TRUE(p.count(q)) << q.first << ", " << q.second;
  }
  EXPECT_EQ(std::count(f.begin(), f.end(), kBg), kW * kH - 68);
}

TEST_F(AudioEffect, RoundWavePointPositions) {
  struct Case {
    std::vector<int> samples;
    std::vector<std::pair<int, int>> points;
  };
  const Case cases[] = {
      // r = 51: point 0 lands on row 69 and is held on row 66.
      {std::vector<int>(128, 127), {{65, 66}, {90, 44}, {65, 18}, {39, 44}}},
      // r = -12: each point opposite its angle.
      {std::vector<int>(128, -128), {{65, 38}, {59, 44}, {65, 49}, {70, 44}}},
  };
  for (const Case& c : cases) {
    load(filled(kBg));
    feed(c.samples);
    run(effectRoundWave, 0);
    const auto p = points_of(current());
    for (auto q : c.points) EXPECT_TRUE(p.count(q)) << q.first << ", " << q.second;
  }
}

TEST_F(AudioEffect, RoundWaveRadiusZeroIsTheCentre) {
  std::vector<int> samples;
  for (int i = 0; i < 128; ++i) samples.push_back(-80 + i % 4);  // -80..-77
  load(filled(kBg));
  feed(samples);
  run(effectRoundWave, 0);
  EXPECT_EQ(points_of(current()), (std::set<std::pair<int, int>>{{65, 44}}));
}

TEST_F(AudioEffect, RoundWaveHoldsPointsOnTheBottomRow) {
  for (int s0 : {108, 107}) {  // row 67 held on 66; row 66 directly
    std::vector<int> samples(128, -80);
    samples[0] = s0;
    load(filled(kBg));
    feed(samples);
    run(effectRoundWave, 0);
    EXPECT_EQ(points_of(current()), (std::set<std::pair<int, int>>{{65, 44}, {65, 66}})) << s0;
  }
}

TEST_F(AudioEffect, RoundWaveMovesEachEntryUpLeftFadingByThree) {
  Frame before = random_frame(3);
  const std::vector<std::pair<int, int>> moves = {{127, 124}, {4, 1},     {3, 128},  {1, 128},
                                                  {128, 128}, {130, 127}, {131, 128}};
  for (std::size_t k = 0; k < moves.size(); ++k) before[at(5 + 6 * k, 10)] = moves[k].first;
  load(before);
  feed(std::vector<int>(128, -80));  // every point on the centre
  run(effectRoundWave, 0);
  const Frame after = current();

  for (std::size_t k = 0; k < moves.size(); ++k) {
    EXPECT_EQ(after[at(4 + 6 * k, 9)], moves[k].second) << "from " << moves[k].first;
  }
  for (int y = 0; y <= 65; ++y) {
    for (int x = 0; x <= 96; ++x) {
      if (x == 65 && y == 44) continue;
      ASSERT_EQ(after[at(x, y)], round_fade(before[at(x + 1, y + 1)])) << x << ", " << y;
    }
  }
  EXPECT_EQ(after[at(65, 44)], 127);
  for (int x = 0; x < kW; ++x) EXPECT_EQ(after[at(x, 66)], kBg) << x;
  for (int y = 0; y < kH; ++y) EXPECT_EQ(after[at(97, y)], kBg) << y;
}

TEST_F(AudioEffect, RoundWaveIgnoresTheFrameCounter) {
  std::vector<int> samples;
  for (int i = 0; i < 128; ++i) samples.push_back((i * 53) % 256 - 128);
  Frame result[2];
  const int counters[2] = {7, -1000};
  for (int k = 0; k < 2; ++k) {
    load(random_frame(4));
    feed(samples);
    run(effectRoundWave, counters[k]);
    result[k] = current();
  }
  EXPECT_EQ(result[0], result[1]);
}

// Spectrum and wave. Inputs are a constant c with a different first sample s0. Captured times
// 32, the constant keeps 32c in the first transformed value only, and the difference, an
// imaginary impulse at t = 0, is halved by each of the eight stages: 32c + (s0 - c) / 8 in the
// first value and (s0 - c) / 8 in all others, exact while s0 - c is a multiple of 8 and
// |c| <= 512. Each value adds value / 16 to its column; the waveform is c / 8 (floored) in
// every column.
std::vector<int> dc_with_first(int c, int s0) {
  std::vector<int> s(512, c);
  s[0] = s0;
  return s;
}

// Two's-complement wrap of n + 4x, spelt in unsigned arithmetic.
std::uint8_t trace_colour(int n, int x) {
  return static_cast<std::uint8_t>((static_cast<unsigned>(n) + 4u * static_cast<unsigned>(x)) &
                                   0x7Fu);
}

// Column x of a bar of height h, listed from the bottom row up.
std::vector<int> bar_column(const Frame& f, int x, int rows) {
  std::vector<int> v;
  for (int k = 0; k < rows; ++k) v.push_back(f[at(x, 66 - k)]);
  return v;
}

TEST_F(AudioEffect, SpectrumBarOfFifty) {
  feed(dc_with_first(25, 25));
  load(random_frame(5));
  EXPECT_EQ(run(effectFftAndWave, 0), 9850);
  const Frame f = current();
  const std::vector<int> bottom = {22, 19, 16, 13, 10, 7, 4, 1, 126, 123};
  EXPECT_EQ(bar_column(f, 0, 10), bottom);
  for (int y = 17; y <= 66; ++y) EXPECT_EQ(f[at(0, y)], (3 * (50 - (66 - y))) % 128) << y;
  EXPECT_EQ(f[at(0, 17)], 3);
  for (int y = 0; y < 17; ++y) EXPECT_EQ(f[at(0, y)], kBg) << y;
  // Waveform 25 / 8 = 3 everywhere: one trace entry per column on row 17, nothing else.
  for (int x = 1; x < kW; ++x) {
    for (int y = 0; y < kH; ++y) {
      ASSERT_EQ(f[at(x, y)], y == 17 ? trace_colour(0, x) : kBg) << x << ", " << y;
    }
  }
}

TEST_F(AudioEffect, SpectrumBarsTallerThanTheFrameAreCut) {
  struct Case {
    int c, s0, bottom, top;
  };
  // fft[0] = 100: colours 300 and 102; fft[0] = (1088 - 8) / 16 = 67: colours 201 and 3.
  for (const Case& k : {Case{50, 50, 44, 102}, Case{34, -30, 73, 3}}) {
    feed(dc_with_first(k.c, k.s0));
    load(filled(0));
    run(effectFftAndWave, 0);
    EXPECT_EQ(dispram[at(0, 66)], k.bottom) << k.c;
    EXPECT_EQ(dispram[at(0, 0)], k.top) << k.c;
    for (int y = 0; y < kH; ++y) ASSERT_NE(dispram[at(0, y)], kBg) << k.c << ", row " << y;
    for (int x = 1; x < kW; ++x) EXPECT_EQ(dispram[at(x, 66)], kBg) << k.c << ", column " << x;
  }
}

// s0 = 128 alone: 16 in every transformed value, one per column or two (30 columns).
TEST_F(AudioEffect, SpectrumBarsOfOneAndTwo) {
  feed(dc_with_first(0, 128));
  load(filled(kBg));
  run(effectFftAndWave, 0);
  const Frame f = current();
  int doubles = 0;
  for (int x = 0; x < kW; ++x) {
    if (f[at(x, 65)] == kBg) {
      EXPECT_EQ(f[at(x, 66)], 3) << x;  // h = 1
    } else {
      ++doubles;
      EXPECT_EQ(bar_column(f, x, 3), (std::vector<int>{6, 3, kBg})) << x;  // h = 2
    }
  }
  EXPECT_EQ(doubles, 30);
  for (int x : {0, 3, 6, 9, 13}) EXPECT_EQ(f[at(x, 65)], 3) << x;
}

TEST_F(AudioEffect, SpectrumValuesOfZeroOrLessDrawNoBar) {
  for (auto [c, trace_row] : {std::pair{-25, 14}, {64, 20}}) {  // fft[0] -50; 128 wraps to -128
    feed(dc_with_first(c, c));
    load(random_frame(6));
    run(effectFftAndWave, 9);
    for (int y = 0; y < kH; ++y) EXPECT_EQ(dispram[at(0, y)], kBg) << c << ", " << y;
    for (int x = 1; x < kW; ++x) {
      for (int y = 0; y < kH; ++y) {
        ASSERT_EQ(dispram[at(x, y)], y == trace_row ? trace_colour(9, x) : kBg) << x << ", " << y;
      }
    }
  }
}

TEST_F(AudioEffect, TraceColoursFollowTheFrameCounter) {
  for (int n : {0, -5, 1000, 2147483647, -2147483647 - 1}) {
    feed(dc_with_first(0, 0));
    load(filled(kBg));
    run(effectFftAndWave, n);
    for (int x = 1; x < kW; ++x)
      ASSERT_EQ(dispram[at(x, 16)], trace_colour(n, x)) << n << ", " << x;
    EXPECT_EQ(dispram[at(0, 16)], kBg);
  }
  feed(dc_with_first(0, 0));
  run(effectFftAndWave, 0);
  EXPECT_EQ(dispram[at(1, 16)], 4);
  EXPECT_EQ(dispram[at(31, 16)], 124);
  EXPECT_EQ(dispram[at(32, 16)], 0);
  EXPECT_EQ(dispram[at(97, 16)], 4);
  feed(dc_with_first(0, 0));
  run(effectFftAndWave, -5);
  EXPECT_EQ(dispram[at(1, 16)], 127);
}

// Rows are 16 + v / 2 with the quotient truncated: -1, 0 and 1 share row 16, -3 is on row 15.
TEST_F(AudioEffect, TraceRowsHalveTowardZero) {
  for (auto [c, row] : {std::pair{-1, 16}, {8, 16}, {-20, 15}, {24, 17}, {-40, 14}}) {
    feed(dc_with_first(c, c));  // waveform c / 8 floored: -1, 1, -3, 3, -5
    load(filled(kBg));
    run(effectFftAndWave, 0);
    for (int x = 1; x < kW; ++x) {
      for (int y = 0; y < kH; ++y) {
        ASSERT_EQ(dispram[at(x, y)], y == row ? trace_colour(0, x) : kBg)
            << c << ": " << x << ", " << y;
      }
    }
  }
}

// Even samples of +-300 limit to +-32. The first 64 waveform values (columns 0..48) and the
// rest (49..97) differ in sign, so column 49 joins -32 and 32: rows 0 to 32.
TEST_F(AudioEffect, TraceJoinsNeighbouringSamples) {
  for (int sign : {1, -1}) {
    std::vector<int> samples(512, 0);
    for (int x = 0; x < 128; ++x) samples[2 * x] = (x < 64 ? 300 : -300) * sign;
    feed(samples);
    load(filled(kBg));
    run(effectFftAndWave, 0);
    for (int y = 0; y <= 32; ++y) EXPECT_EQ(dispram[at(49, y)], trace_colour(0, 49)) << y;
    const int first_row = sign > 0 ? 32 : 0;
    EXPECT_EQ(dispram[at(48, first_row)], trace_colour(0, 48));
    EXPECT_EQ(dispram[at(50, 32 - first_row)], trace_colour(0, 50));
  }
}

TEST_F(AudioEffect, SpectrumFrameDoesNotDependOnThePreviousFrame) {
  Frame result[3];
  const Frame starts[3] = {filled(0), filled(255), random_frame(7)};
  for (int k = 0; k < 3; ++k) {
    feed(dc_with_first(20, -100));
    load(starts[k]);
    run(effectFftAndWave, 3);
    result[k] = current();
  }
  EXPECT_EQ(result[0], result[1]);
  EXPECT_EQ(result[0], result[2]);
}

}  // namespace
