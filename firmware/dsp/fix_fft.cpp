#include "dsp/fix_fft.h"

#include "dsp/sin.h"

namespace {

constexpr int kMaxLog2Points = 10;     // the twiddle step 512 / l is a whole sine step up to here
constexpr int kFirstTwiddleShift = 9;  // j = u << k, k = 9 for the first stage: u * 512 / l
constexpr int kInverseLimit = 16383;   // an inverse stage halves once a magnitude exceeds this
constexpr int kFailed = -1;

// Q15 product rounded half up. |a * b| <= 2^30, so adding the half cannot overflow, and
// (c + 2^14) >> 15 equals (c >> 15) + ((c >> 14) & 1) while costing one instruction less.
inline int q15_mul(int a, int b) {
#if defined(LPCDEMO_TARGET)
  // The multiplier stops early on a small Rs; b is the sample, mostly far smaller than a
  // twiddle once the spectrum's energy has gathered in a few bins.
  int p;
  asm("mul %0, %1, %2" : "=&r"(p) : "r"(a), "r"(b));
  return (p + (1 << 14)) >> 15;
#else
  return (a * b + (1 << 14)) >> 15;
#endif
}

// True when |v| > 16383 at full width (so -32768 counts as 32768): one compare instead of two.
inline bool exceeds_half_scale(int v) {
  return static_cast<unsigned>(v + kInverseLimit) > 2u * kInverseLimit;
}

bool any_exceeds_half_scale(const std::int16_t fr[], const std::int16_t fi[], int n) {
  for (int i = 0; i < n; ++i) {
    if (exceeds_half_scale(fr[i]) || exceeds_half_scale(fi[i])) return true;
  }
  return false;
}

void bit_reverse(std::int16_t fr[], std::int16_t fi[], int n) {
  // mr counts p's bit reversal up: add one at the top bit, carrying downwards.
  int mr = 0;
  for (int p = 1; p < n; ++p) {
    int l = n >> 1;
    for (; (mr & l) != 0; l >>= 1) mr ^= l;
    mr |= l;
    if (mr > p) {
      const std::int16_t tr = fr[p];
      fr[p] = fr[mr];
      fr[mr] = tr;
      const std::int16_t ti = fi[p];
      fi[p] = fi[mr];
      fi[mr] = ti;
    }
  }
}

// All butterflies of one twiddle in one stage. Sums are formed in int and wrap to 16 bits only
// where they are stored: reducing tr and ti first would give the same stored bits. The
// difference is taken as (q + t) - 2t, again the same bits once stored; written as q - t, GCC
// narrows both forms to 16-bit arithmetic and ARM7 pays eight zero-extensions per butterfly.
// The halving is a template argument so that neither direction pays for a register shift;
// kRealTwiddle drops the two products with wi = 0 (each rounds to exactly 0), a quarter of
// all butterflies: the first of every stage's groups.
template <int kShift, bool kRealTwiddle = false>
void butterflies(std::int16_t fr[], std::int16_t fi[], int n, int u, int l, int wr, int wi) {
  const int istep = 2 * l;
  for (int i = u; i < n; i += istep) {
    const int q = i + l;
    const int xr = fr[q];
    const int xi = fi[q];
    const int tr = kRealTwiddle ? q15_mul(wr, xr) : q15_mul(wr, xr) - q15_mul(wi, xi);
    const int ti = kRealTwiddle ? q15_mul(wr, xi) : q15_mul(wr, xi) + q15_mul(wi, xr);
    const int sr = (fr[i] >> kShift) + tr;
    const int si = (fi[i] >> kShift) + ti;
    fr[i] = static_cast<std::int16_t>(sr);
    fi[i] = static_cast<std::int16_t>(si);
    fr[q] = static_cast<std::int16_t>(sr - 2 * tr);
    fi[q] = static_cast<std::int16_t>(si - 2 * ti);
  }
}
static_assert(((0 * 32767 + (1 << 14)) >> 15) == 0, "a product with a zero twiddle is zero");

// cos(j) and -sin(j) for 0 <= j < 512, the entries isin would fold to, read without a call:
// twiddles are looked up once per group, 255 times a 256-point transform.
struct Twiddle {
  int wr, wi;
};
Twiddle twiddle(int j) {
  if (j < sine::kQuarterTurn) return {sintab[sine::kQuarterTurn - j], -sintab[j]};
  return {-sintab[j - sine::kQuarterTurn], -sintab[sine::kHalfTurn - j]};
}

void exchange_halves(std::int16_t f[], int half) {
  for (int i = 1; i < half; i += 2) {
    const std::int16_t t = f[half + i - 1];
    f[half + i - 1] = f[i];
    f[i] = t;
  }
}

}  // namespace

std::int16_t FIX_MPY(std::int16_t a, std::int16_t b) {
  return static_cast<std::int16_t>(q15_mul(a, b));
}

int fix_fft(std::int16_t fr[], std::int16_t fi[], std::int16_t m, std::int16_t inverse) {
  // A negative size has no meaning and would shift by a negative count: refuse it like a large one.
  if (m < 0 || m > kMaxLog2Points) return kFailed;
  const int n = 1 << m;
  bit_reverse(fr, fi, n);

  int scale = 0;
  int k = kFirstTwiddleShift;
  for (int l = 1; l < n; l *= 2, --k) {
    bool halve = true;  // the forward direction halves every stage and never scans
    if (inverse) {
      halve = any_exceeds_half_scale(fr, fi, n);
      if (halve) ++scale;
    }
    for (int u = 0; u < l; ++u) {
      const Twiddle w = twiddle(u << k);
      const int wr = w.wr;
      const int wi = inverse ? -w.wi : w.wi;
      if (!halve) {
        butterflies<0>(fr, fi, n, u, l, wr, wi);
      } else if (u == 0) {
        butterflies<1, true>(fr, fi, n, u, l, wr >> 1, wi >> 1);
      } else {
        butterflies<1>(fr, fi, n, u, l, wr >> 1, wi >> 1);
      }
    }
  }
  return scale;
}

int fix_fftr(std::int16_t f[], int m, int inverse) {
  // Refused before the exchange, so a call that fails leaves the data as it was.
  if (m < 1 || m > kMaxLog2Points + 1) return kFailed;
  const int half = 1 << (m - 1);
  const auto half_m = static_cast<std::int16_t>(m - 1);
  int scale = 0;
  if (inverse) scale = fix_fft(f + half, f, half_m, 1);
  exchange_halves(f, half);
  if (!inverse) scale = fix_fft(f + half, f, half_m, 0);
  return scale;
}
