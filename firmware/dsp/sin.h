// Fixed-point sine: angles in 1024 steps per turn (only the low 10 bits count), results Q15
// from -32767 to +32767.
#pragma once

#include <array>
#include <cstdint>

extern "C" {

// Quarter wave: sintab[i] = trunc(32767 * sin(i * pi / 512)), i = 0..256.
extern const std::int16_t sintab[257];

std::int16_t isin(std::int16_t g);
std::int16_t icos(std::int16_t g);
}

// The same sine for compile-time tables (sintab itself, and tables derived from it).
namespace sine {

inline constexpr int kQuarterTurn = 256;
inline constexpr int kHalfTurn = 2 * kQuarterTurn;
inline constexpr int kTurn = 4 * kQuarterTurn;
inline constexpr unsigned kAngleMask = kTurn - 1;
inline constexpr int kOne = 32767;  // Q15 full scale

// Taylor series of sin and cos for |t| <= pi/4, where 12 terms leave an error near the
// rounding of a double: every 32767 * sin(...) lies more than 0.01 from an integer unless it
// is one, so truncating the result reproduces the exact rule.
constexpr double taylor(double t, double term, int first_power) {
  constexpr int kTerms = 12;
  double sum = 0.0;
  for (int k = first_power; k < first_power + 2 * kTerms; k += 2) {
    sum += term;
    term = -term * t * t / ((k + 1) * (k + 2));
  }
  return sum;
}

// trunc(32767 * sin(i * pi / 512)) for i = 0..256. Past the eighth turn the sine is taken as
// the cosine of the complement, so i = 256 gives exactly 1 and hence 32767.
constexpr std::int16_t quarter_wave(int i) {
  constexpr double kStep = 3.14159265358979323846 / 512;
  const double s = i <= kQuarterTurn / 2 ? taylor(i * kStep, i * kStep, 1)
                                         : taylor((kQuarterTurn - i) * kStep, 1.0, 0);
  return static_cast<std::int16_t>(kOne * s);  // truncation toward zero
}

using QuarterTable = std::array<std::int16_t, kQuarterTurn + 1>;

constexpr QuarterTable make_quarter_table() {
  QuarterTable t{};
  for (int i = 0; i <= kQuarterTurn; ++i) t[i] = quarter_wave(i);
  return t;
}

inline constexpr QuarterTable kQuarterTable = make_quarter_table();

// A whole turn read from the quarter wave forwards and backwards: a is the angle already
// reduced to 0..1023. Entries lie in 0..32767, so their negations fit in 16 bits.
template <typename Table>
constexpr std::int16_t fold(const Table& quarter, unsigned a) {
  if (a < kQuarterTurn) return quarter[a];
  if (a < kHalfTurn) return quarter[kHalfTurn - a];
  if (a < kHalfTurn + kQuarterTurn) return static_cast<std::int16_t>(-quarter[a - kHalfTurn]);
  return static_cast<std::int16_t>(-quarter[kTurn - a]);
}

// isin for compile-time use.
constexpr std::int16_t sin_of(int g) {
  return fold(kQuarterTable, static_cast<unsigned>(g) & kAngleMask);
}

}  // namespace sine
