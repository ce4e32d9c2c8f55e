#include "dsp/fix_fft.h"

#include <gtest/gtest.h>

#include "dsp/sin.h"

#include <cmath>
#include <complex>
#include <cstdint>
#include <cstdlib>
#include <numbers>
#include <random>
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

TEST(FixFft, SizeLimits) {
  std::int16_t fr = 1234, fi = -77;
  EXPECT_EQ(fix_fft(&fr, &fi, 0, 0), 0);  // one point: nothing to do
  EXPECT_EQ(fix_fft(&fr, &fi, 0, 1), 0);
  EXPECT_EQ(fr, 1234);
  EXPECT_EQ(fi, -77);

  Samples r(2048, 5), i(2048, -5);
  EXPECT_EQ(fix_fft(r.data(), i.data(), 11, 0), -1);
  EXPECT_EQ(fix_fft(r.data(), i.data(), -1, 1), -1);  // no meaning, refused the same way
  EXPECT_EQ(r, Samples(2048, 5));
  EXPECT_EQ(i, Samples(2048, -5));
}

// An impulse at 0 has a flat spectrum: n equal values 16384 / n.
TEST(FixFft, ForwardImpulseSpreadsEvenly) {
  for (auto [m, level] : {std::pair<std::int16_t, int>{4, 1024}, {10, 16}}) {
    const std::size_t n = std::size_t{1} << m;
    Samples fr(n, 0), fi(n, 0);
    fr[0] = 16384;
    EXPECT_EQ(fix_fft(fr.data(), fi.data(), m, 0), 0);
    EXPECT_EQ(fr, Samples(n, static_cast<std::int16_t>(level))) << n;
    EXPECT_EQ(fi, Samples(n, 0)) << n;
  }
}

TEST(FixFft, InverseHalvesOnlyWhileValuesAreLarge) {
  Samples fr(16, 0), fi(16, 0);
  fr[0] = 30000;
  EXPECT_EQ(fix_fft(fr.data(), fi.data(), 4, 1), 1);
  EXPECT_EQ(fr, Samples(16, 15000));
  EXPECT_EQ(fi, Samples(16, 0));

  fr.assign(16, 0);
  fr[3] = 8000;
  EXPECT_EQ(fix_fft(fr.data(), fi.data(), 4, 1), 0);
  EXPECT_EQ(Samples(fr.begin(), fr.begin() + 4), (Samples{8000, 3061, -5656, -7389}));
  EXPECT_EQ(Samples(fi.begin() + 1, fi.begin() + 4), (Samples{7389, 5656, -3061}));
}

// Two points, one butterfly, twiddle 1 (16383 when halved): worked by hand.
TEST(FixFft, InverseScanTakesMagnitudesAtFullWidth) {
  std::int16_t fr[2] = {0, 0};
  std::int16_t fi[2] = {0, -32768};
  EXPECT_EQ(fix_fft(fr, fi, 1, 1), 1);
  // floor((16383 * -32768 + 16384) / 32768) = -16383.
  EXPECT_EQ(fi[0], -16383);
  EXPECT_EQ(fi[1], 16383);

  for (auto [value, scale] : {std::pair{16383, 0}, {-16383, 0}, {16384, 1}, {-16384, 1}}) {
    std::int16_t r[2] = {0, static_cast<std::int16_t>(value)};
    std::int16_t i[2] = {0, 0};
    EXPECT_EQ(fix_fft(r, i, 1, 1), scale) << value;
  }
}

// Eight values a0..a7: the transform sees real parts a1 a5 a3 a7 and imaginary parts a0 a4 a2
// a6. An impulse of 16384 gives exact four-point spectra: f[0..3] imaginary, f[4..7] real.
// The transform step by step as first written: the bit reversal's inner search, both twiddles
// from isin, every product rounded on its own, a forward stage always halved, an inverse one
// when a value exceeds 16383. The routine's shortcuts (twiddles read from the table, the zero
// twiddle's products left out, the reversal counted by carries) must give the same bits.
int reference_fft(Samples& fr, Samples& fi, int m, bool inverse) {
  const int n = 1 << m;
  for (int p = 1, mr = 0; p < n; ++p) {
    int l = n;
    do l >>= 1;
    while (mr + l > n - 1);
    mr = (mr & (l - 1)) + l;
    if (mr > p) {
      std::swap(fr[p], fr[mr]);
      std::swap(fi[p], fi[mr]);
    }
  }
  const auto mpy = [](int a, int b) { return (a * b + (1 << 14)) >> 15; };
  int scale = 0;
  for (int l = 1, k = 9; l < n; l *= 2, --k) {
    bool halve = !inverse;
    for (int i = 0; inverse && i < n; ++i)
      halve = halve || std::abs(fr[i]) > 16383 || std::abs(fi[i]) > 16383;
    scale += inverse && halve;
    const int shift = halve ? 1 : 0;
    for (int u = 0; u < l; ++u) {
      const int wr = isin(static_cast<std::int16_t>((u << k) + 256)) >> shift;
      const int wi = (inverse ? 1 : -1) * isin(static_cast<std::int16_t>(u << k)) >> shift;
      for (int i = u; i < n; i += 2 * l) {
        const int q = i + l;
        const int tr = mpy(wr, fr[q]) - mpy(wi, fi[q]);
        const int ti = mpy(wr, fi[q]) + mpy(wi, fr[q]);
        const int qr = fr[i] >> shift, qi = fi[i] >> shift;
        fr[q] = static_cast<std::int16_t>(qr - tr);
        fi[q] = static_cast<std::int16_t>(qi - ti);
        fr[i] = static_cast<std::int16_t>(qr + tr);
        fi[i] = static_cast<std::int16_t>(qi + ti);
      }
    }
  }
  return scale;
}

TEST(FixFft, MatchesTheTransformAsFirstWrittenAtEverySize) {
  std::mt19937 rng(2138);
  std::uniform_int_distribution<int> value(-32768, 32767);
  for (int m = 1; m <= 10; ++m) {
    for (bool inverse : {false, true}) {
      Samples fr(std::size_t{1} << m), fi(fr.size());
      for (std::size_t i = 0; i < fr.size(); ++i) {
        fr[i] = static_cast<std::int16_t>(value(rng) >> (inverse ? 0 : 3));
        fi[i] = static_cast<std::int16_t>(value(rng) >> (inverse ? 0 : 3));
      }
      Samples rr = fr, ri = fi;
      const int want = reference_fft(rr, ri, m, inverse);
      ASSERT_EQ(fix_fft(fr.data(), fi.data(), static_cast<std::int16_t>(m), inverse), want) << m;
      ASSERT_EQ(fr, rr) << m << (inverse ? " inverse" : " forward");
      ASSERT_EQ(fi, ri) << m << (inverse ? " inverse" : " forward");
    }
  }
}

TEST(FixFftr, ForwardPairsOddValuesAsRealParts) {
  const std::pair<int, Samples> cases[] = {
      {1, {0, 0, 0, 0, 4096, 4096, 4096, 4096}},    // 1 at t = 0
      {4, {4096, 0, -4096, 0, 0, 4096, 0, -4096}},  // i at t = 1: i (-i)^k
      {5, {0, -4096, 0, 4096, 4096, 0, -4096, 0}},  // 1 at t = 1: (-i)^k
  };
  for (const auto& [at, expected] : cases) {
    Samples f(8, 0);
    f[at] = 16384;
    EXPECT_EQ(fix_fftr(f.data(), 3, 0), 0);
    EXPECT_EQ(f, expected) << "impulse at a" << at;
  }
}

// Inverse: a real DC value becomes eight equal real values, then the exchange spreads them
// over the odd entries of both halves.
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

// Double-precision fix_fftr(x, 9, 0): undo the exchange, take the upper half as real and the
// lower half as imaginary parts of 256 points, transform and divide by 256.
std::vector<std::complex<double>> reference_spectrum(const Samples& x) {
  const std::size_t half = x.size() / 2;
  std::vector<double> g(x.begin(), x.end());
  for (std::size_t i = 1; i < half; i += 2) std::swap(g[half + i - 1], g[i]);
  std::vector<std::complex<double>> out(half);
  for (std::size_t k = 0; k < half; ++k) {
    for (std::size_t t = 0; t < half; ++t) {
      const double turn = static_cast<double>((k * t) % half) / static_cast<double>(half);
      out[k] +=
          std::complex<double>(g[half + t], g[t]) * std::polar(1.0, -2 * std::numbers::pi * turn);
    }
    out[k] /= static_cast<double>(half);
  }
  return out;
}

// Worst-case error, in Q15 units and as a complex magnitude, for input parts within
// +-amplitude. Each stage computes (a + W b) / 2, passing earlier errors on without growth
// (|W| <= 1), and adds: the floor of a / 2, at most 0.5 per part (sqrt(2) / 2); two product
// roundings per part (sqrt(2)); the halved twiddle, trunc(32767 cos) >> 1 against 16384 cos,
// off by at most 1.5 per part, times |b| <= sqrt(2) * amplitude. The halved twiddle may exceed
// 1/2 by 0.5 / 32768, which the 1 % margin covers.
double forward_error_bound(int stages, double amplitude) {
  const double per_stage = std::sqrt(2.0) / 2 + std::sqrt(2.0) + 3.0 * amplitude / 32768.0;
  return 1.01 * stages * per_stage;
}

constexpr int kAmplitude = 16000;  // |a + ib| stays below 32767 at every stage

void expect_close_to_reference(const Samples& input) {
  Samples f = input;
  ASSERT_EQ(fix_fftr(f.data(), 9, 0), 0);
  const auto ref = reference_spectrum(input);
  const double bound = forward_error_bound(8, kAmplitude);
  for (std::size_t k = 0; k < ref.size(); ++k) {
    const std::complex<double> got(f[256 + k], f[k]);
    ASSERT_LE(std::abs(got - ref[k]), bound) << "bin " << k << ": " << got << " vs " << ref[k];
  }
}

TEST(FixFftr, MatchesTheDiscreteTransformOnRandomAndSineInput) {
  std::mt19937 rng(1234);
  std::uniform_int_distribution<int> value(-kAmplitude, kAmplitude);
  for (int round = 0; round < 4; ++round) {
    Samples x(512);
    for (auto& v : x) v = static_cast<std::int16_t>(value(rng));
    expect_close_to_reference(x);
  }
  for (double cycles : {1.0, 5.0, 37.5, 200.0}) {
    Samples x(512);
    for (int t = 0; t < 512; ++t) {
      const double phase = 2 * std::numbers::pi * cycles * t / 512 + 0.3;
      x[t] = static_cast<std::int16_t>(std::lround(kAmplitude * std::sin(phase)));
    }
    expect_close_to_reference(x);
  }
}

}  // namespace
