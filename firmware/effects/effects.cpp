#include "effects/effects.h"

#include "display/lcd.h"
#include "dsp/sin.h"
#include "effects/plasma.h"
#include "effects/rotoblitter.h"

// Each renderer draws one frame into dispram and sends it with senddisp.

namespace plasma {
namespace {

// Angles are formed in 32 bits with wrap-around, so any frame counter gives exact low bits.
constexpr std::uint32_t turns(int k, int n) {
  return static_cast<std::uint32_t>(k) * static_cast<std::uint32_t>(n);
}
std::int16_t angle(std::uint32_t a) {
  return static_cast<std::int16_t>(a);
}

// isin(a) >> 9 (-64..63) for every angle: the field needs only these top bits, and a byte
// table read spares the quarter-wave folding on each of the 26,264 lookups a frame. A term
// shifted by 10 is this value shifted by one more, since arithmetic shifts compose.
constexpr int kTermShift = 9;
using TermTable = std::array<std::int8_t, sine::kTurn>;
constexpr TermTable make_term_table() {
  TermTable t{};
  for (int a = 0; a < sine::kTurn; ++a)
    t[a] = static_cast<std::int8_t>(sine::sin_of(a) >> kTermShift);
  return t;
}
constexpr TermTable kTerm = make_term_table();
static_assert(kTerm[256] == 63 && kTerm[768] == -64 && kTerm[1023] == -1);

static_assert(kLinePasses == 491 && kLinePixelCount == 583);
constexpr std::array<LineRun, kLineRunCount> kLine = line_runs();
static_assert(kLine.size() == 99);

void draw_line() {
  for (const LineRun& run : kLine) {
    std::uint8_t* p = dispram + run.first;
    for (int r = 0; r < run.rows; ++r, p += kFrameWidth) *p = kBackground;
  }
}

constexpr std::uint8_t kIndexMask = 0x7F;

// Five sine terms per pixel. Rows outside, columns inside, so dispram fills in order; each
// angle is linear in x, so it advances by its x coefficient from one column to the next.
void draw_field(int n, const Frame& f) {
  const std::uint32_t un = static_cast<std::uint32_t>(n);
  std::int8_t term1[kFrameWidth];  // depends on the column only
  for (int x = 0; x < kFrameWidth; ++x) {
    term1[x] = kTerm[(static_cast<std::uint32_t>(x - f.x1) + un) & sine::kAngleMask];
  }
  std::uint8_t* p = dispram;
  for (int y = 0; y < kFrameHeight; ++y) {
    const int term3 = kTerm[(static_cast<std::uint32_t>(15 * (f.y1 - y) - 2 * f.b) - turns(4, n)) &
                            sine::kAngleMask];
    std::uint32_t a2 = static_cast<std::uint32_t>(-7 * f.x1 + 5 * (y - f.y1)) + turns(5, n);
    std::uint32_t a4 = static_cast<std::uint32_t>(-20 * f.x2 + 30 * (f.y2 - y)) - turns(4, n);
    std::uint32_t a5 = turns(14, n) + static_cast<std::uint32_t>(9 * f.x2 + 11 * (y - f.y2) + f.b);
    for (int x = 0; x < kFrameWidth; ++x) {
      const int c = term1[x] + kTerm[a2 & sine::kAngleMask] + term3 +
                    (kTerm[a4 & sine::kAngleMask] >> 1) + kTerm[a5 & sine::kAngleMask];
      *p++ = static_cast<std::uint8_t>(c & kIndexMask);
      a2 += 7;
      a4 += 20;
      a5 -= 9;
    }
  }
}

}  // namespace

Frame frame(int n) {
  constexpr int kCentreShift = 11;
  constexpr int kCentre = 128;
  Frame f;
  f.x1 = (icos(angle(turns(17, n))) >> kCentreShift) + kCentre;
  f.y1 = (isin(angle(turns(15, n))) >> kCentreShift) + kCentre;
  f.x2 = (icos(angle(turns(14, n))) >> kCentreShift) + kCentre;
  f.y2 = (isin(angle(turns(19, n))) >> kCentreShift) + kCentre;
  f.b = isin(angle(turns(21, n))) >> kTermShift;
  return f;
}

}  // namespace plasma

void effectPlasma(int n) {
  plasma::draw_field(n, plasma::frame(n));
  plasma::draw_line();
  senddisp();
}

namespace cake {
namespace {

// The text band: 10 mask rows, each drawn 4 screen rows tall, from row 10 plus the wave.
constexpr int kMaskRows = 10;
constexpr int kRowsPerMaskRow = 4;
static_assert(kRowsPerMaskRow % 2 == 0,
              "the checkerboard phase is then the same in every mask row");
constexpr int kBandTop = 10;
// Mask grey levels: below kInkEdge is background, from kInkSolid on solid ink, between the two
// an edge shade drawn on a checkerboard so it reads as half covered.
constexpr std::uint8_t kInkEdge = 50;
constexpr std::uint8_t kInkSolid = 130;
// Moving an index this far along the palette picks its shaded twin in palette mode 2.
constexpr std::uint8_t kShadeOffset = 128;

// Angles are formed in 32 bits with wrap-around; only their low bits reach isin.
std::int16_t angle(std::uint32_t a) {
  return static_cast<std::int16_t>(a);
}
std::int16_t angle(int k, int n) {
  return angle(static_cast<std::uint32_t>(k) * static_cast<std::uint32_t>(n));
}

}  // namespace

Params params(int n) {
  Params p;
  p.deg = static_cast<std::int16_t>(isin(angle(5, n)) >> 4);
  p.zoom = (isin(angle(40, n)) >> 7) + (isin(angle(15, n)) >> 7) + 512;
  p.midx = static_cast<std::uint8_t>((isin(angle(20, n)) >> 11) + 49);
  p.midy = static_cast<std::uint8_t>((isin(angle(10, n)) >> 11) + 33);
  return p;
}

void mark_text(const std::uint8_t* mask, std::uint32_t mask_width, int n) {
  for (int x = 0; x < kFrameWidth; ++x) {
    // 64-bit so that no frame counter can overflow the sum; the halvings truncate toward zero.
    const std::int64_t a = (std::int64_t{n} + (x - 100) / 2) / 2;
    if (a < 0 || a >= mask_width) continue;  // off either end of the text: nothing to draw
    const std::uint8_t* cell = mask + a;
    const int wave =
        isin(angle(4 * static_cast<std::uint32_t>(x) + static_cast<std::uint32_t>(n))) >> 12;
    std::uint8_t* out = &dispram[x + kFrameWidth * (kBandTop + wave)];
    // Band row y = 4r + k, so x + y is even exactly where k has the parity of x.
    const int first_edge_row = x % 2;
    for (int r = 0; r < kMaskRows; ++r, cell += mask_width, out += kRowsPerMaskRow * kFrameWidth) {
      const std::uint8_t t = *cell;
      if (t < kInkEdge) continue;
      const bool solid = t >= kInkSolid;
      for (int k = solid ? 0 : first_edge_row; k < kRowsPerMaskRow; k += solid ? 1 : 2) {
        std::uint8_t& p = out[k * kFrameWidth];
        p = static_cast<std::uint8_t>(p - kShadeOffset);
      }
    }
  }
}

}  // namespace cake

void effectCake(int n) {
  const cake::Params p = cake::params(n);
  rotoblit(header_data, static_cast<std::int16_t>(width), static_cast<std::int16_t>(height), p.deg,
           p.zoom, p.midx, p.midy);
  cake::mark_text(txtdata, txtwidth, n);
  senddisp();
}

void effectFall(int) {}

void effectRoundWave(int) {}

void effectFftAndWave(int) {}
