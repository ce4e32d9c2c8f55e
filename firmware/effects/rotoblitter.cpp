#include "effects/rotoblitter.h"

#include <cstdint>

#include "display/lcd.h"
#include "dsp/sin.h"

namespace {

// A product of Q15 sine, zoom (1/256) and screen offset, divided by this, is in image pixels.
constexpr std::int32_t kScaleDivisor = 0x7FFFFF;  // 2^23 - 1, so 1:1 falls just short of one

// Products wrap modulo 2^32 like 32-bit two's complement arithmetic. There (a * b) * c always
// equals a * (b * c), so zoom times sine can be formed once per frame without changing a term.
constexpr std::int32_t mul(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) * static_cast<std::uint32_t>(b));
}

// Truncating division of the scaled offset, the way every one of the four terms is rounded.
constexpr std::int32_t scaled(std::int32_t factor, std::int32_t offset) {
  return mul(factor, offset) / kScaleDivisor;
}

// Remainder with the sign of the divisor: 0 <= result < n for n >= 1.
constexpr std::int32_t wrap(std::int32_t v, std::int32_t n) {
  const std::int32_t r = v % n;
  return r < 0 ? r + n : r;
}

// The wrap of v, given the wrap r of a nearby value `from`. A term of the blitter moves by at
// most 257 from one screen step to the next, so this takes a compare or two where wrap takes
// a division.
constexpr std::int32_t rewrap(std::int32_t r, std::int32_t from, std::int32_t v, std::int32_t n) {
  r += v - from;
  while (r < 0) r += n;
  while (r >= n) r -= n;
  return r;
}

// wrap(scaled(factor, offset) - bias, n) for offset = first, first + 1, ..., one division in all.
class WrappedTerm {
 public:
  WrappedTerm(std::int32_t factor, std::int32_t first, std::int32_t bias, std::int32_t n)
      : factor_(factor), bias_(bias), n_(n), offset_(first), v_(value()), r_(wrap(v_, n)) {}
  std::int32_t wrapped() const { return r_; }
  void next() {
    ++offset_;
    const std::int32_t v = value();
    r_ = rewrap(r_, v_, v, n_);
    v_ = v;
  }

 private:
  std::int32_t value() const { return scaled(factor_, offset_) - bias_; }
  std::int32_t factor_, bias_, n_, offset_, v_, r_;
};

static_assert(scaled(32767 * 256, 1) == 0 && scaled(32767 * 256, 2) == 1,
              "1:1 zoom truncates one screen step to no image step");
static_assert(scaled(32767 * 256, -2) == -1, "division truncates toward zero");
static_assert(wrap(-1, 150) == 149 && wrap(150, 150) == 0 && wrap(-150, 150) == 0);
static_assert(rewrap(149, -1, 300, 150) == 0 && rewrap(0, 0, -301, 150) == 149);

}  // namespace

void rotoblit(const std::uint8_t* pic, std::int16_t w, std::int16_t h, std::int16_t deg,
              std::int32_t zoom, std::uint8_t midx, std::uint8_t midy) {
  // An empty image has no pixel to show and would divide by zero below.
  if (w < 1 || h < 1) return;

  const std::int32_t z = static_cast<std::int16_t>(zoom);  // only the low 16 bits count
  const std::int32_t cz = mul(icos(deg), z);
  const std::int32_t sz = mul(isin(deg), z);

  // The two row-dependent terms, already reduced into the image, shared by every column.
  // Reducing each term first keeps the per-pixel wrap to one compare: sx sums two values in
  // [0, w), sy subtracts two values in [0, h). The vertical term is kept as the offset of its
  // image row, so a pixel needs no multiply.
  const std::int32_t size = w * h;
  std::int16_t row_sx[kFrameHeight];
  std::int32_t row_offset[kFrameHeight];
  WrappedTerm sx_term(sz, -midy, w / 2, w);
  WrappedTerm sy_term(cz, -midy, h / 2, h);
  for (int y = 0; y < kFrameHeight; ++y, sx_term.next(), sy_term.next()) {
    row_sx[y] = static_cast<std::int16_t>(sx_term.wrapped());
    row_offset[y] = w * sy_term.wrapped();
  }

  WrappedTerm col_sx(cz, -midx, 0, w);
  WrappedTerm col_sy(sz, -midx, 0, h);
  for (int x = 0; x < kFrameWidth; ++x, col_sx.next(), col_sy.next()) {
    const std::int32_t column_offset = w * col_sy.wrapped();
    const std::int32_t sx0 = col_sx.wrapped();
    const auto pixel = [&](int y) {
      std::int32_t sx = sx0 + row_sx[y];
      if (sx >= w) sx -= w;
      std::int32_t offset = row_offset[y] - column_offset;
      if (offset < 0) offset += size;
      return pic[sx + offset];
    };
    // Two rows a pass: half the loop's own instructions.
    static_assert(kFrameHeight % 2 == 1);
    std::uint8_t* out = &dispram[x];
    int y = 0;
    for (; y < kFrameHeight - 1; y += 2, out += 2 * kFrameWidth) {
      out[0] = pixel(y);
      out[kFrameWidth] = pixel(y + 1);
    }
    out[0] = pixel(y);
  }
}
