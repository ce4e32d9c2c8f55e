#include "dsp/fix_fft.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using Samples = std::vector<std::int16_t>;

TEST(FixMpy, RoundsToNearestWithTiesUp) {
  EXPECT_EQ(FIX_MPY(32767, 32767), 32766);
  EXPECT_EQ(FIX_MPY(16384, 1), 1);    // +0.5 goes up
  EXPECT_EQ(FIX_MPY(-16384, 1), 0);   // -0.5 goes up as well
  EXPECT_EQ(FIX_MPY(16384, 3), 2);    // 1.5
  EXPECT_EQ(FIX_MPY(-16384, 3), -1);  // -1.5
  EXPECT_EQ(FIX_MPY(-1, 1), 0);
  EXPECT_EQ(FIX_MPY(-32768, -32768), -32768);  // +1.0 does not fit and wraps
}

TEST(FixMpy, AgreesWithTheRoundedRealProduct) {
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> any(-32768, 32767);
  for (int k = 0; k < 20000; ++k) {
    const int a = any(rng);
    const int b = any(rng);
    if (a == -32768 && b == -32768) continue;
    // a * b / 32768 is exact in a double, so floor(x + 0.5) is the rounding asked for.
    const int expected = static_cast<int>(std::floor(static_cast<double>(a) * b / 32768.0 + 0.5));
    ASSERT_EQ(FIX_MPY(static_cast<std::int16_t>(a), static_cast<std::int16_t>(b)), expected)
        << a << " * " << b;
  }
}

TEST(FixFft, OnePointIsLeftAlone) {
  for (std::int16_t inverse : {0, 1}) {
    std::int16_t fr = 1234;
    std::int16_t fi = -77;
    EXPECT_EQ(fix_fft(&fr, &fi, 0, inverse), 0);
    EXPECT_EQ(fr, 1234);
    EXPECT_EQ(fi, -77);
  }
}

TEST(FixFft, RefusesSizesOutsideTheSineResolution) {
  Samples fr(4096), fi(4096);
  for (std::size_t i = 0; i < fr.size(); ++i) {
    fr[i] = static_cast<std::int16_t>(i * 7);
    fi[i] = static_cast<std::int16_t>(-static_cast<int>(i));
  }
  const Samples r0 = fr, i0 = fi;
  for (std::int16_t m : {11, 12, -1}) {
    EXPECT_EQ(fix_fft(fr.data(), fi.data(), m, 0), -1) << "m = " << m;
    EXPECT_EQ(fix_fft(fr.data(), fi.data(), m, 1), -1) << "m = " << m;
  }
  EXPECT_EQ(fr, r0);
  EXPECT_EQ(fi, i0);
}

// An impulse at 0 has a flat spectrum: n equal values 16384 / n.
TEST(FixFft, ForwardImpulseSpreadsEvenly) {
  for (auto [m, level] : {std::pair<std::int16_t, int>{4, 1024}, {10, 16}}) {
    const std::size_t n = std::size_t{1} << m;
    Samples fr(n, 0), fi(n, 0);
    fr[0] = 16384;
    EXPECT_EQ(fix_fft(fr.data(), fi.data(), m, 0), 0);
    for (std::size_t i = 0; i < n; ++i) {
      EXPECT_EQ(fr[i], level) << "n = " << n << ", bin " << i;
      EXPECT_EQ(fi[i], 0) << "n = " << n << ", bin " << i;
    }
  }
}

TEST(FixFft, InverseHalvesOnlyWhileValuesAreLarge) {
  Samples fr(16, 0), fi(16, 0);
  fr[0] = 30000;
  EXPECT_EQ(fix_fft(fr.data(), fi.data(), 4, 1), 1);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(fr[i], 15000) << i;
    EXPECT_EQ(fi[i], 0) << i;
  }
}

TEST(FixFft, InverseOfShiftedImpulseTurnsPositively) {
  Samples fr(16, 0), fi(16, 0);
  fr[3] = 8000;
  EXPECT_EQ(fix_fft(fr.data(), fi.data(), 4, 1), 0);
  EXPECT_EQ((Samples{fr.begin(), fr.begin() + 4}), (Samples{8000, 3061, -5656, -7389}));
  EXPECT_EQ((Samples{fi.begin() + 1, fi.begin() + 4}), (Samples{7389, 5656, -3061}));
}

// Two points, one butterfly with twiddle 1: worked by hand from the Q15 rounding rule.
TEST(FixFft, InverseScanCountsMinus32768AsLarge) {
  std::int16_t fr[2] = {0, 0};
  std::int16_t fi[2] = {0, -32768};
  EXPECT_EQ(fix_fft(fr, fi, 1, 1), 1);
  // Halved twiddle 16383: floor((16383 * -32768 + 16384) / 32768) = -16383.
  EXPECT_EQ(fi[0], -16383);
  EXPECT_EQ(fi[1], 16383);
  EXPECT_EQ(fr[0], 0);
  EXPECT_EQ(fr[1], 0);
}

TEST(FixFft, InverseScanThresholdIsAMagnitudeAbove16383) {
  const auto scale_for = [](std::int16_t r1, std::int16_t i0) {
    std::int16_t fr[2] = {0, r1};
    std::int16_t fi[2] = {i0, 0};
    return fix_fft(fr, fi, 1, 1);
  };
  EXPECT_EQ(scale_for(16383, 0), 0);
  EXPECT_EQ(scale_for(-16383, 0), 0);
  EXPECT_EQ(scale_for(16384, 0), 1);
  EXPECT_EQ(scale_for(-16384, 0), 1);
  EXPECT_EQ(scale_for(0, -16384), 1);
}

// Eight real values a0..a7: the complex transform sees real parts a1 a5 a3 a7 and imaginary
// parts a0 a4 a2 a6. Impulses at known places give exact four-point spectra.
TEST(FixFftr, ForwardPairsOddValuesAsRealParts) {
  struct Case {
    int at;
    Samples expected;  // f[0..3] imaginary parts, f[4..7] real parts
  };
  const Case cases[] = {
      {1, {0, 0, 0, 0, 4096, 4096, 4096, 4096}},    // real part at t = 0
      {0, {4096, 4096, 4096, 4096, 0, 0, 0, 0}},    // imaginary part at t = 0
      {4, {4096, 0, -4096, 0, 0, 4096, 0, -4096}},  // i at t = 1: i * (-i)^k
      {5, {0, -4096, 0, 4096, 4096, 0, -4096, 0}},  // 1 at t = 1: (-i)^k
      {2, {4096, -4096, 4096, -4096, 0, 0, 0, 0}},  // i at t = 2: i * (-1)^k
  };
  for (const Case& c : cases) {
    Samples f(8, 0);
    f[c.at] = 16384;
    EXPECT_EQ(fix_fftr(f.data(), 3, 0), 0);
    EXPECT_EQ(f, c.expected) << "impulse at a" << c.at;
  }
}

// The inverse exchanges after transforming: a real DC value becomes eight equal real values,
// which the exchange then spreads over the odd entries of both halves.
TEST(FixFftr, InverseExchangesAfterTransforming) {
  Samples f(16, 0);
  f[8] = 1000;
  EXPECT_EQ(fix_fftr(f.data(), 4, 1), 0);
  EXPECT_EQ(f, (Samples{0, 1000, 0, 1000, 0, 1000, 0, 1000, 0, 1000, 0, 1000, 0, 1000, 0, 1000}));
}

TEST(FixFftr, RefusedSizeLeavesTheDataInPlace) {
  Samples f(4096);
  for (std::size_t i = 0; i < f.size(); ++i) f[i] = static_cast<std::int16_t>(i);
  const Samples before = f;
  EXPECT_EQ(fix_fftr(f.data(), 12, 0), -1);
  EXPECT_EQ(fix_fftr(f.data(), 0, 0), -1);
  EXPECT_EQ(f, before);
}

// Double-precision reference for fix_fftr(f, 9, 0): the exchange puts odd lower-half and even
// upper-half values in each other's place, then the upper half is the real and the lower half
// the imaginary part of 256 complex points, transformed and divided by 256.
std::vector<std::complex<double>> reference_spectrum(const Samples& x) {
  const std::size_t half = x.size() / 2;
  std::vector<double> g(x.begin(), x.end());
  for (std::size_t i = 1; i < half; i += 2) std::swap(g[half + i - 1], g[i]);
  std::vector<std::complex<double>> out(half);
  for (std::size_t k = 0; k < half; ++k) {
    std::complex<double> sum = 0;
    for (std::size_t t = 0; t < half; ++t) {
      const double angle = -2 * std::numbers::pi * static_cast<double>((k * t) % half) / half;
      sum += std::complex<double>(g[half + t], g[t]) * std::polar(1.0, angle);
    }
    out[k] = sum / static_cast<double>(half);
  }
  return out;
}

// Worst-case error of the forward transform, input components within +-amplitude. Each stage
// computes (a + W b) / 2, which passes on earlier errors without growth (|W| <= 1), and adds,
// in Q15 units and as complex magnitudes:
//   - the floor of a / 2: at most 0.5 per component, sqrt(2) / 2;
//   - four product roundings, two per component: sqrt(2);
//   - the halved twiddle, trunc(32767 cos) >> 1 against 16384 cos: at most 1.5 per component,
//     times |b| <= sqrt(2) * amplitude: 1.5 * sqrt(2) * sqrt(2) * amplitude / 32768.
// The halved twiddle may exceed 1/2 by 0.5 / 32768, which the 1 % margin covers.
double forward_error_bound(int stages, double amplitude) {
  const double per_stage = std::sqrt(2.0) / 2 + std::sqrt(2.0) + 3.0 * amplitude / 32768.0;
  return 1.01 * stages * per_stage;
}

void expect_close_to_reference(const Samples& input, double amplitude) {
  Samples f = input;
  ASSERT_EQ(fix_fftr(f.data(), 9, 0), 0);
  const auto ref = reference_spectrum(input);
  const double bound = forward_error_bound(8, amplitude);
  double worst = 0;
  for (std::size_t k = 0; k < ref.size(); ++k) {
    const std::complex<double> got(f[256 + k], f[k]);
    worst = std::max(worst, std::abs(got - ref[k]));
    ASSERT_LE(std::abs(got - ref[k]), bound) << "bin " << k << ": " << got << " vs " << ref[k];
  }
  ::testing::Test::RecordProperty("worst_error", std::to_string(worst));
}

constexpr int kAmplitude = 16000;  // complex magnitude stays below 32767 at every stage

TEST(FixFftr, RandomInputMatchesTheDiscreteTransform) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> value(-kAmplitude, kAmplitude);
  for (int round = 0; round < 4; ++round) {
    Samples x(512);
    for (auto& v : x) v = static_cast<std::int16_t>(value(rng));
    expect_close_to_reference(x, kAmplitude);
  }
}

TEST(FixFftr, SineInputMatchesTheDiscreteTransform) {
  for (double cycles : {1.0, 5.0, 37.5, 200.0}) {
    Samples x(512);
    for (int t = 0; t < 512; ++t) {
      x[t] = static_cast<std::int16_t>(
          std::lround(kAmplitude * std::sin(2 * std::numbers::pi * cycles * t / 512 + 0.3)));
    }
    expect_close_to_reference(x, kAmplitude);
  }
}

}  // namespace
