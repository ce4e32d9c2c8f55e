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

static_assert(scaled(32767 * 256, 1) == 0 && scaled(32767 * 256, 2) == 1,
              "1:1 zoom truncates one screen step to no image step");
static_assert(scaled(32767 * 256, -2) == -1, "division truncates toward zero");
static_assert(wrap(-1, 150) == 149 && wrap(150, 150) == 0 && wrap(-150, 150) == 0);

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
  // [0, w), sy subtracts two values in [0, h).
  std::int16_t row_sx[kFrameHeight];
  std::int16_t row_sy[kFrameHeight];
  for (int y = 0; y < kFrameHeight; ++y) {
    const std::int32_t dy = y - midy;
    row_sx[y] = static_cast<std::int16_t>(wrap(scaled(sz, dy) - w / 2, w));
    row_sy[y] = static_cast<std::int16_t>(wrap(scaled(cz, dy) - h / 2, h));
  }

  for (int x = 0; x < kFrameWidth; ++x) {
    const std::int32_t dx = x - midx;
    const std::int32_t col_sx = wrap(scaled(cz, dx), w);
    const std::int32_t col_sy = wrap(scaled(sz, dx), h);
    std::uint8_t* out = &dispram[x];
    for (int y = 0; y < kFrameHeight; ++y, out += kFrameWidth) {
      std::int32_t sx = col_sx + row_sx[y];
      if (sx >= w) sx -= w;
      std::int32_t sy = row_sy[y] - col_sy;
      if (sy < 0) sy += h;
      *out = pic[sx + w * sy];
    }
  }
}
