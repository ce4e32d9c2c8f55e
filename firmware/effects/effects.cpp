#include "effects/effects.h"

#include <new>

#include "display/lcd.h"
#include "dsp/sin.h"
#include "dsp/waveops.h"
#include "effects/plasma.h"
#include "effects/rotoblitter.h"

namespace {

// Angles are formed in 32 bits with wrap-around, so any frame counter gives exact low bits,
// the only ones isin reads.
constexpr std::uint32_t turns(int k, int n) {
  return static_cast<std::uint32_t>(k) * static_cast<std::uint32_t>(n);
}
std::int16_t angle(std::uint32_t a) {
  return static_cast<std::int16_t>(a);
}

// The effects draw in the lower half of the palette; the upper half holds the ramps.
constexpr int kIndexMask = 0x7F;

}  // namespace

namespace plasma {
namespace {

// isin(a) >> 9 (-64..63) for every angle: the field needs only these top bits, and a byte
// table read spares the quarter-wave folding on each of the 19,863 lookups a frame (three per
// pixel, one per column, one per row). A term shifted by 10 is this value shifted by one
// more, since arithmetic shifts compose.
//
// The table runs on past one turn: a row's angles for the second and fifth terms walk 97
// steps of +7 and -9 from a start reduced to one turn (the fifth's to one turn above its
// walk), and so never leave the table; the inner loop steps pointers instead of masking each
// angle.
constexpr int kTermShift = 9;
constexpr int kStep2 = 7;   // the second term's angle, per column
constexpr int kStep4 = 20;  // the fourth term's
constexpr int kStep5 = -9;  // the fifth term's
constexpr int kRowStep4 = -30;
constexpr int kLastX = kFrameWidth - 1;
constexpr int kTermEntries = sine::kTurn + -kStep5 * kLastX;
static_assert(sine::kAngleMask + kStep2 * kLastX < kTermEntries);
using TermTable = std::array<std::int8_t, kTermEntries>;
constexpr TermTable make_term_table() {
  TermTable t{};
  for (int a = 0; a < kTermEntries; ++a)
    t[a] = static_cast<std::int8_t>(sine::sin_of(a) >> kTermShift);
  return t;
}
constexpr TermTable kTerm = make_term_table();
static_assert(kTerm[256] == 63 && kTerm[768] == -64 && kTerm[1023] == -1 && kTerm[1024] == 0);

// The fourth term's angle is a fixed angle plus 10 k, k = 2x - 3y, which takes only 393 values
// in a frame. k has the parity of the row, so the even rows and then the odd rows each read
// one half of those values: a stack table of that half, looked up once and already halved, is
// walked one entry a column, and the inner loop reads flash for two terms only.
constexpr int kTurnsOf10 = 10;
static_assert(kStep4 == 2 * kTurnsOf10 && kRowStep4 == -3 * kTurnsOf10);
constexpr int kFourthLow = -3 * (kFrameHeight - 1);  // 2x - 3y at x = 0, bottom row
constexpr int kFourthHalf = (2 * kLastX - kFourthLow) / 2 + 1;
static_assert(kFourthHalf == 197);
using FourthHalf = std::array<std::int8_t, kFourthHalf>;

// Entry i: the halved fourth term at k = kFourthLow + 2i + parity.
void fill_fourth(FourthHalf& half, std::uint32_t a4, int parity) {
  std::uint32_t a = a4 + static_cast<std::uint32_t>(kTurnsOf10 * (kFourthLow + parity));
  for (std::int8_t& v : half) {
    v = static_cast<std::int8_t>(kTerm[a & sine::kAngleMask] >> 1);
    a += 2 * kTurnsOf10;
  }
}

// One row: out[x] = (term3 + t1[x] + t2[7x] + t4[x] + t5[-9x]) AND 0x7F.
void field_row(std::uint8_t* out, const std::int8_t* t1, const std::int8_t* t2,
               const std::int8_t* t4, const std::int8_t* t5, int term3) {
  std::uint8_t* const end = out + kFrameWidth;
#if defined(LPCDEMO_TARGET)
  // The compiler indexes each walk and steps it apart; here post-indexed loads step all four
  // at no cost, two pixels a pass share one halfword store, and each flash term's two reads
  // sit side by side, so the second often finds its line in the accelerator's data buffer.
  // The sum is taken unsigned: only its low 7 bits are kept.
  static_assert(kFrameWidth % 2 == 0 && kStep2 == 7 && kStep5 == -9);
  int a, b, c, d;
  asm volatile(
      "1:\n\t"
      "ldrb %[a], [%[t2]], #7\n\t"
      "ldrb %[b], [%[t2]], #7\n\t"
      "ldrb %[c], [%[t5]], #-9\n\t"
      "ldrb %[d], [%[t5]], #-9\n\t"
      "add %[a], %[a], %[c]\n\t"
      "add %[b], %[b], %[d]\n\t"
      "ldrb %[c], [%[t1]], #1\n\t"
      "ldrb %[d], [%[t1]], #1\n\t"
      "add %[a], %[a], %[c]\n\t"
      "add %[b], %[b], %[d]\n\t"
      "ldrb %[c], [%[t4]], #1\n\t"
      "ldrb %[d], [%[t4]], #1\n\t"
      "add %[a], %[a], %[c]\n\t"
      "add %[b], %[b], %[d]\n\t"
      "add %[a], %[a], %[t3]\n\t"
      "add %[b], %[b], %[t3]\n\t"
      "and %[a], %[a], #127\n\t"
      "and %[b], %[b], #127\n\t"
      "orr %[a], %[a], %[b], lsl #8\n\t"
      "strh %[a], [%[out]], #2\n\t"
      "cmp %[out], %[end]\n\t"
      "bne 1b"
      : [a] "=&r"(a), [b] "=&r"(b), [c] "=&r"(c), [d] "=&r"(d), [out] "+r"(out), [t1] "+r"(t1),
        [t2] "+r"(t2), [t4] "+r"(t4), [t5] "+r"(t5)
      : [t3] "r"(term3), [end] "r"(end)
      : "cc", "memory");
#else
  while (out != end) {
    *out++ = static_cast<std::uint8_t>((term3 + *t1++ + *t2 + *t4++ + *t5) & kIndexMask);
    t2 += kStep2;
    t5 += kStep5;
  }
#endif
}

static_assert(kLinePasses == 491 && kLinePixelCount == 583);
constexpr std::array<LineRun, kLineRunCount> kLine = line_runs();
static_assert(kLine.size() == 99);

void draw_line() {
  for (const LineRun& run : kLine) {
    std::uint8_t* p = dispram + run.first;
    for (int r = 0; r < run.rows; ++r, p += kFrameWidth) *p = kBackground;
  }
}

// Five sine terms per pixel, each angle linear in x and y: the first term depends on the
// column only, the third on the row only, and the others are walked along each row.
void draw_field(int n, const Frame& f) {
  const std::uint32_t un = static_cast<std::uint32_t>(n);
  std::int8_t term1[kFrameWidth];
  for (int x = 0; x < kFrameWidth; ++x) {
    term1[x] = kTerm[(static_cast<std::uint32_t>(x - f.x1) + un) & sine::kAngleMask];
  }
  const std::uint32_t a4 = static_cast<std::uint32_t>(-20 * f.x2 + 30 * f.y2) - turns(4, n);
  FourthHalf fourth;
  for (int parity = 0; parity < 2; ++parity) {
    fill_fourth(fourth, a4, parity);
    for (int y = parity; y < kFrameHeight; y += 2) {
      const int term3 =
          kTerm[(static_cast<std::uint32_t>(15 * (f.y1 - y) - 2 * f.b) - turns(4, n)) &
                sine::kAngleMask];
      const std::uint32_t a2 = static_cast<std::uint32_t>(-7 * f.x1 + 5 * (y - f.y1)) + turns(5, n);
      const std::uint32_t a5 =
          turns(14, n) + static_cast<std::uint32_t>(9 * f.x2 + 11 * (y - f.y2) + f.b);
      // The fifth term's walk starts as far into the table as it steps back.
      field_row(&dispram[kFrameWidth * y], term1, &kTerm[a2 & sine::kAngleMask],
                &fourth[(-3 * y - kFourthLow - parity) / 2],
                &kTerm[((a5 + kStep5 * kLastX) & sine::kAngleMask) - kStep5 * kLastX], term3);
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

}  // namespace

Params params(int n) {
  constexpr int kTurnShift = 4;    // the rotation swings up to two turns either way
  constexpr int kZoomShift = 7;    // each of the two zoom terms within -256..255
  constexpr int kZoomBase = 512;   // two image pixels per screen pixel
  constexpr int kDriftShift = 11;  // the middle drifts by -16..15 pixels
  Params p;
  p.deg = static_cast<std::int16_t>(isin(angle(turns(5, n))) >> kTurnShift);
  p.zoom = (isin(angle(turns(40, n))) >> kZoomShift) + (isin(angle(turns(15, n))) >> kZoomShift) +
           kZoomBase;
  p.midx = static_cast<std::uint8_t>((isin(angle(turns(20, n))) >> kDriftShift) + kFrameWidth / 2);
  p.midy = static_cast<std::uint8_t>((isin(angle(turns(10, n))) >> kDriftShift) + kFrameHeight / 2);
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

namespace audio_view {
namespace {

constexpr int kLastRow = kFrameHeight - 1;
constexpr int kLastColumn = kFrameWidth - 1;

// The edges that moved pixels leave behind (or, falling, would move onto) become background.
void clear_bottom_row_and_right_column() {
  std::uint8_t* const bottom = &dispram[kFrameWidth * kLastRow];
  for (int x = 0; x < kFrameWidth; ++x) bottom[x] = kBackground;
  for (int y = 0; y < kLastRow; ++y) dispram[kLastColumn + kFrameWidth * y] = kBackground;
}

#if defined(LPCDEMO_TARGET)
// The image's fades take four pixels a pass, in registers a, b, c, d from two halfword loads
// at p (which moves past them). A fade by `step` as compares and conditional moves: a pixel
// above `step` and not the background (128) loses `step`, anything else becomes background.
static_assert(kBackground == 128);
#define FADE_LOAD_QUAD                                                           \
  "ldrh %[a], [%[p]], #2\n\tldrh %[c], [%[p]], #2\n\tmov %[b], %[a], lsr #8\n\t" \
  "and %[a], %[a], #255\n\tmov %[d], %[c], lsr #8\n\tand %[c], %[c], #255\n\t"
#define FADE_ONE(r, step)                                                               \
  "cmp %[" r "], #128\n\tcmpne %[" r "], #" step "\n\tsubhi %[" r "], %[" r "], #" step \
  "\n\tmovls %[" r "], #128\n\t"
#define FADE_QUAD(step) \
  FADE_ONE("a", step) FADE_ONE("b", step) FADE_ONE("c", step) FADE_ONE("d", step)
#endif

// Falling waterfall: each step down costs one index; 0 and 1 have nowhere lower to go.
constexpr std::uint8_t kFallTopBase = 90;  // colour of a zero sample in the top row

constexpr int fall_fade(int a) {
  return a <= 1 || a == kBackground ? kBackground : a - 1;
}
static_assert(fall_fade(2) == 1 && fall_fade(1) == kBackground && fall_fade(0) == kBackground);
static_assert(fall_fade(129) == kBackground && fall_fade(200) == 199);

// Rows go bottom-up so each is read before the row above is moved onto it. Row 65 would land
// on row 66 and column 97 stay in column 97, both cleared right after, so neither is moved.
// Column 1 alone, then columns 2..97 four at a time: column 97 lands in column 97 of the row
// below, which is cleared right after, so moving it changes nothing and keeps the passes
// whole and the accesses halfword-aligned.
void fall_move_down() {
  constexpr int kQuadColumns = kFrameWidth - 2;
  static_assert(kQuadColumns % 4 == 0 && kFrameWidth % 2 == 0);
  for (int y = kLastRow - 2; y >= 0; --y) {
    std::uint8_t* p = &dispram[kFrameWidth * y + 1];
    p[kFrameWidth] = static_cast<std::uint8_t>(fall_fade(*p));
    ++p;
    std::uint8_t* const end = p + kQuadColumns;
#if defined(LPCDEMO_TARGET)
    // Two halfword loads and stores for four pixels, faded by one.
    int a, b, c, d;
    asm volatile(
        "1:\n\t" FADE_LOAD_QUAD FADE_QUAD("1")
        "orr %[a], %[a], %[b], lsl #8\n\t"
        "orr %[c], %[c], %[d], lsl #8\n\t"
        "strh %[a], [%[p], #94]\n\t"
        "strh %[c], [%[p], #96]\n\t"
        "cmp %[p], %[end]\n\t"
        "bne 1b"
        : [a] "=&r"(a), [b] "=&r"(b), [c] "=&r"(c), [d] "=&r"(d), [p] "+r"(p)
        : [end] "r"(end)
        : "cc", "memory");
    static_assert(kFrameWidth - 4 == 94);
#else
    for (; p != end; ++p) p[kFrameWidth] = static_cast<std::uint8_t>(fall_fade(*p));
#endif
  }
}

void fall_draw_top_row(const std::int8_t samp[]) {
  for (int x = 0; x < kFrameWidth; ++x) {
    const int s = samp[x];
    dispram[x] = static_cast<std::uint8_t>(((s < 0 ? -s : s) + kFallTopBase) & kIndexMask);
  }
}

// Round wave: trails run up-left, losing 3 indices per step; 0..3 fade to background.
constexpr int kRoundPoints = 128;
constexpr int kRoundAngleStep = 8;  // 128 points cover the 1024 steps of one turn
constexpr int kRoundRadiusBase = 20;
constexpr int kRoundCentreX = 65;
constexpr int kRoundCentreY = 44;
constexpr std::uint8_t kRoundPoint = 127;
constexpr int kRoundFadeStep = 3;
constexpr int kUpLeft = kFrameWidth + 1;  // index distance to the entry one row up, one left
static_assert(kRoundPoints * kRoundAngleStep == sine::kTurn);

constexpr int round_fade(int a) {
  return a <= kRoundFadeStep || a == kBackground ? kBackground : a - kRoundFadeStep;
}
static_assert(round_fade(127) == 124 && round_fade(4) == 1 && round_fade(3) == kBackground);
static_assert(round_fade(130) == 127 && round_fade(131) == kBackground);

// Every destination lies below its source in memory, so one forward pass reads each entry
// before anything is written onto it. The pass runs on through each row's column 0 as well:
// that entry lands in column 97 of the row two above, which is read already and cleared
// right after, so the frame is the same and the pass is one run.
void round_move_up_left() {
  constexpr int kFirst = kFrameWidth + 1;
  constexpr int kQuads = (kFramePixels - kFirst - 1) / 4;
  static_assert(kFirst + 1 + 4 * kQuads + 2 == kFramePixels && kFirst % 2 == 1);
  std::uint8_t* p = &dispram[kFirst];
  // One pixel first and two last, so the quads start halfword-aligned.
  p[-kUpLeft] = static_cast<std::uint8_t>(round_fade(*p));
  ++p;
  std::uint8_t* const end = p + 4 * kQuads;
#if defined(LPCDEMO_TARGET)
  // Four pixels a pass, faded by three; the destinations are odd, so the middle two go out as
  // one halfword.
  static_assert(kRoundFadeStep == 3);
  int a, b, c, d;
  asm volatile(
      "1:\n\t" FADE_LOAD_QUAD FADE_QUAD("3")
      "orr %[b], %[b], %[c], lsl #8\n\t"
      "strb %[a], [%[p], #-103]\n\t"
      "strh %[b], [%[p], #-102]\n\t"
      "strb %[d], [%[p], #-100]\n\t"
      "cmp %[p], %[end]\n\t"
      "bne 1b"
      : [a] "=&r"(a), [b] "=&r"(b), [c] "=&r"(c), [d] "=&r"(d), [p] "+r"(p)
      : [end] "r"(end)
      : "cc", "memory");
  static_assert(kUpLeft + 4 == 103);
#else
  for (; p != end; ++p) p[-kUpLeft] = static_cast<std::uint8_t>(round_fade(*p));
#endif
  p[-kUpLeft] = static_cast<std::uint8_t>(round_fade(p[0]));
  p[1 - kUpLeft] = static_cast<std::uint8_t>(round_fade(p[1]));
}

#undef FADE_LOAD_QUAD
#undef FADE_ONE
#undef FADE_QUAD

int limit(int v, int lo, int hi) {
  return v < lo ? lo : (v > hi ? hi : v);
}

void round_plot(const std::int8_t samp[]) {
  for (int i = 0; i < kRoundPoints; ++i) {
    const int r = (samp[i] >> 2) + kRoundRadiusBase;  // negative r lands opposite the angle
    const auto g = static_cast<std::int16_t>(kRoundAngleStep * i);
    const int x = limit(kRoundCentreX + ((r * isin(g)) >> 16), 0, kLastColumn);
    const int y = limit(kRoundCentreY + ((r * icos(g)) >> 16), 0, kLastRow);
    dispram[x + kFrameWidth * y] = kRoundPoint;
  }
}

// Spectrum bars and wave trace.
constexpr int kSpectrumScratch = 512;  // 16-bit values SampleAndFFT works in
constexpr int kFramePairs = kFramePixels / 2;
constexpr int kBarColourStep = 3;
constexpr int kTraceRow = 16;  // row of a zero sample
constexpr unsigned kTraceColourStep = 4;
static_assert(kFramePixels % 2 == 0 && kSpectrumScratch <= kFramePairs);

// The whole frame, the work area included, becomes background; memset ends the work area's
// 16-bit objects and stores whole words. (The builtin: the image has no C library headers,
// only the memset of startup/memfuncs.cpp.)
void fill_background() {
  __builtin_memset(dispram, kBackground, kFramePixels);
}

// A bar of height h stands on the bottom row, at most the frame tall; its colour falls by 3
// per row from 3h at the bottom, so a bar that fits always ends in index 3.
void draw_bars(const std::int8_t fft[]) {
  for (int x = 0; x < kFrameWidth; ++x) {
    const int h = fft[x];
    const int length = h < kFrameHeight ? h : kFrameHeight;
    std::uint8_t* p = &dispram[x + kFrameWidth * kLastRow];
    int c = kBarColourStep * h;
    for (int k = 0; k < length; ++k, p -= kFrameWidth, c -= kBarColourStep) {
      *p = static_cast<std::uint8_t>(c & kIndexMask);
    }
  }
}

// Each column joins the previous sample's row to its own. Rows 16 + v/2 of consecutive v are
// consecutive or equal, so the run is simply the rows between the two ends. The ends are kept
// inside the frame, which samples limited to -32..32 never need.
void draw_trace(const std::int8_t samp[], int n) {
  for (int x = 1; x < kFrameWidth; ++x) {
    // Unsigned, so any frame counter wraps the way a two's-complement sum would.
    const auto c = static_cast<std::uint8_t>(
        (static_cast<unsigned>(n) + kTraceColourStep * static_cast<unsigned>(x)) & kIndexMask);
    int a = samp[x - 1];
    int b = samp[x];
    if (a > b) {
      const int t = a;
      a = b;
      b = t;
    }
    const int top = limit(kTraceRow + a / 2, 0, kLastRow);
    const int bottom = limit(kTraceRow + b / 2, 0, kLastRow);
    std::uint8_t* p = &dispram[x + kFrameWidth * top];
    for (int y = top; y <= bottom; ++y, p += kFrameWidth) *p = c;
  }
}

}  // namespace
}  // namespace audio_view

// The frame's history is dispram itself: moved down and faded, then topped with a new row.
void effectFall(int) {
  using namespace audio_view;
  fall_move_down();
  clear_bottom_row_and_right_column();
  std::int8_t samp[kFrameWidth];
  SampleWave(kFrameWidth, samp);
  fall_draw_top_row(samp);
  senddisp();
}

void effectRoundWave(int) {
  using namespace audio_view;
  round_move_up_left();
  clear_bottom_row_and_right_column();
  std::int8_t samp[kRoundPoints];
  SampleWave(kRoundPoints, samp);
  round_plot(samp);
  senddisp();
}

void effectFftAndWave(int n) {
  using namespace audio_view;
  std::int8_t fft[kFrameWidth];
  std::int8_t samp[kFrameWidth];
  // The spectrum's 512-value work area is the frame's first 1024 bytes: the stack has no room
  // for it and the frame is repainted anyway. Placement new starts 16-bit objects in the whole
  // frame's storage (no code, no cookie), so the transform accesses them as what they are
  // under strict aliasing; the clear, bars and trace then write bytes, which may alias
  // anything.
  std::int16_t* const frame = ::new (static_cast<void*>(dispram)) std::int16_t[kFramePairs];
  SampleAndFFT(kFrameWidth, fft, samp, frame);
  fill_background();
  draw_bars(fft);
  draw_trace(samp, n);
  senddisp();
}
