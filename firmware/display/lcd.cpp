#include "display/lcd.h"

#include <array>

#include "board/io.h"
#include "dsp/sin.h"

alignas(2) std::uint8_t dispram[kFramePixels];
std::uint16_t pal[256];

namespace {

// 12-bit colour 0xRGB, four bits per channel.
constexpr unsigned kColourBits = 12;
constexpr unsigned kRedShift = 8;
constexpr unsigned kGreenShift = 4;
constexpr int kLevels = 16;
constexpr int kRamps = 8;  // bit 0 of the ramp number: red, bit 1: green, bit 2: blue
constexpr int kLowerHalf = 128;
static_assert(kLowerHalf + kRamps * kLevels == 256);

// Eight ramps from black to red, green, ..., white in the upper half.
void load_ramps() {
  for (int level = 0; level < kLevels; ++level) {
    for (int k = 0; k < kRamps; ++k) {
      const unsigned l = static_cast<unsigned>(level);
      pal[kLowerHalf + kLevels * k + level] = static_cast<std::uint16_t>(
          ((k & 1) != 0 ? l << kRedShift : 0) | ((k & 2) != 0 ? l << kGreenShift : 0) |
          ((k & 4) != 0 ? l : 0));
    }
  }
}

// One turn across the 128 entries, channels a third of a turn apart. Division (not a shift)
// so sines in -4095..4095 all give level 8 and no channel reaches 0.
void load_rainbow() {
  constexpr int kStep = 8;
  constexpr int kThird = 341;
  constexpr int kSineToLevel = 4096;
  constexpr int kMidLevel = 8;
  for (int x = 0; x < kLowerHalf; ++x) {
    const int a = kStep * x;
    const int r = isin(static_cast<std::int16_t>(a)) / kSineToLevel + kMidLevel;
    const int g = isin(static_cast<std::int16_t>(a + kThird)) / kSineToLevel + kMidLevel;
    const int b = isin(static_cast<std::int16_t>(a + 2 * kThird)) / kSineToLevel + kMidLevel;
    pal[x] = static_cast<std::uint16_t>((r << kRedShift) + (g << kGreenShift) + b);
  }
}

// Blue rises over entries 0..63, then red and green together over 64..127.
void load_blue_white() {
  constexpr int kHalf = 64;
  constexpr int kFull = 15;
  for (int x = 0; x < kHalf; ++x) {
    const int l = x >> 2;  // four entries per level
    pal[kHalf + x] = static_cast<std::uint16_t>((l << kRedShift) + (l << kGreenShift) + kFull);
  }
  for (int x = 0; x < kHalf; ++x) pal[x] = static_cast<std::uint16_t>(x >> 2);
}

// The picture's colours, and above them a shaded copy (red and green halved, blue kept) that
// the cake effect reaches by adding 128 to an index.
void load_picture_colours() {
  constexpr int kToLevel = 4;  // a byte keeps its top four bits
  constexpr int kToHalfLevel = kToLevel + 1;
  for (int x = 0; x < kLowerHalf; ++x) {
    const unsigned r = header_data_cmap[3 * x];
    const unsigned g = header_data_cmap[3 * x + 1];
    const unsigned b = header_data_cmap[3 * x + 2];
    pal[x] = static_cast<std::uint16_t>(((r >> kToLevel) << kRedShift) |
                                        ((g >> kToLevel) << kGreenShift) | (b >> kToLevel));
    pal[kLowerHalf + x] =
        static_cast<std::uint16_t>(((r >> kToHalfLevel) << kRedShift) |
                                   ((g >> kToHalfLevel) << kGreenShift) | (b >> kToLevel));
  }
}

// LCD start-up words: commands 0x1xx, data 0x0xx, and two markers.
constexpr std::int16_t kDelay = -1;
constexpr std::int16_t kEnd = -2;
constexpr int kWaitsPerDelay = 4;
constexpr int kSendusEntries = 61;

// clang-format off
constexpr std::array<std::int16_t, kSendusEntries> kSendus = {
    0x101, kDelay,  // software reset
    0x1C6, kDelay,
    0x1B9, 0x000,
    0x1B6, 0x080, 0x080, 0x081, 0x054, 0x045, 0x052, 0x043,
    0x1B3, 0x000, 0x008, 0x011, 0x019, 0x022, 0x02A, 0x033, 0x03C,  // 15 rising steps
           0x044, 0x04D, 0x055, 0x05E, 0x067, 0x070, 0x07F,
    0x1B5, 0x001,
    0x1BD, 0x004,
    0x1BE, 0x004,
    0x111, kDelay,  // sleep out
    0x1BA, 0x0FF, 0x003,
    0x1B7, 0x000, 0x000, 0x000, 0x000, 0x000, 0x000, 0x000,
           0x000, 0x000, 0x000, 0x000, 0x000, 0x000, 0x000,
    0x103, kDelay,
    0x120,
    0x129,  // display on
    kEnd};
// clang-format on

constexpr int count_words(const std::array<std::int16_t, kSendusEntries>& t) {
  int words = 0;
  for (std::int16_t v : t) words += v >= 0 ? 1 : 0;
  return words;
}
static_assert(kSendus.back() == kEnd && count_words(kSendus) == 56);

constexpr int kFrameStart = 0x12C;  // memory-write command before the pixel data

// Sent after the table, with command 0x20 once more before them.
constexpr int kSetContrast = 0x125;
constexpr int kContrastLevel = 0x050;  // its one parameter

// Two pixels' colours in 24 bits, sent as three bytes most significant first.
inline std::uint32_t pack_pair(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(pal[p[0]]) << kColourBits) + pal[p[1]];
}

// The low byte of v as a data word on the wire.
constexpr std::uint16_t data_word(std::uint32_t v) {
  return lcdlink::on_wire(static_cast<int>(v) & lcdlink::kByteMask);
}
static_assert(data_word(0x8E2DA1) == 0x1A1);

}  // namespace

void initpal(std::uint8_t i) {
  load_ramps();
  if (i == kPaletteRainbow) {
    load_rainbow();
  } else if (i == kPaletteBlueWhite) {
    load_blue_white();
  } else if (i == kPalettePicture) {
    load_picture_colours();
  }
}

void lcd_init() {
  const std::array<std::int16_t, kSendusEntries> sendus = kSendus;  // a stack copy, per call
  for (int x = 0; sendus[x] != kEnd; ++x) {
    if (sendus[x] == kDelay) {
      for (int w = 0; w < kWaitsPerDelay; ++w) waitsome();
    } else {
      sendlcd(sendus[x]);
    }
  }
  sendlcd(0x120);
  sendlcd(kSetContrast);
  sendlcd(kContrastLevel);
}

// The frame's 9849 data words go out of one poll loop, written in assembly because its timing
// is the frame rate and a compiler will not keep its layout:
// - Each wait is followed by nothing but the store of a word made beforehand; the next pair is
//   formed while the previous pair's last word is shifting (72 clocks, room for both lookups).
// - Every branch back goes to the poll at the start of a flash line. Its one miss puts the line
//   in the accelerator's branch trail buffer, where it stays (nothing else in the loop misses),
//   so no pass waits for flash.
// - After the store the core reaches the poll's read a whole number of passes before the
//   transfer ends: with the APB's 5 wait clocks a pass is 12 clocks (ldrb 3 + 5, tst, beq 3),
//   and the read 12 after the store on the short path (the store's wait, two instructions, the
//   branch back, the load's first cycle), 48 on the refill path; the last read of the wait falls
//   on the clock SPIF sets, 72 after the store, and a word takes 72 + 10.
// A pair's three bytes wait as data words, the current one in `word`, the next two in the
// halves of `rest`: a halfword store sends the low 9 bits of the low half.
void senddisp() {
  lcdlink::pulse_select();
  lcdlink::start(kFrameStart);
#if defined(LPCDEMO_TARGET)
  static_assert(lpc2138::S0SPSR_SPIF == 0x80);
  const std::uint8_t* p = dispram;
  const std::uint8_t* const last = dispram + kFramePixels - 2;
  std::uint32_t word, rest, a, b;
  asm volatile(
      "       b       2f\n"
      "       .balign 16\n"
      "1:     ldrb    %[a], [%[spi], %[spsr]]\n"
      "       tst     %[a], #0x80\n"  // SPIF
      "       beq     1b\n"
      "       strh    %[word], [%[spi], %[spdr]]\n"
      "       movs    %[word], %[rest]\n"  // the next word, if any
      "       mov     %[rest], %[rest], lsr #16\n"
      "       bne     1b\n"
      "       cmp     %[p], %[last]\n"
      "       beq     3f\n"
      "       add     %[p], %[p], #2\n"
      "2:     ldrb    %[a], [%[p]]\n"
      "       ldrb    %[b], [%[p], #1]\n"
      "       mov     %[a], %[a], lsl #1\n"
      "       mov     %[b], %[b], lsl #1\n"
      "       ldrh    %[a], [%[pal], %[a]]\n"
      "       ldrh    %[b], [%[pal], %[b]]\n"
      "       add     %[a], %[b], %[a], lsl #12\n"  // the pair's 24 bits
      "       mov     %[word], %[a], lsr #16\n"
      "       orr     %[word], %[word], #0x100\n"
      "       and     %[b], %[a], #0xFF\n"
      "       mov     %[rest], %[b], lsl #16\n"
      "       and     %[b], %[a], #0xFF00\n"
      "       orr     %[rest], %[rest], %[b], lsr #8\n"
      "       orr     %[rest], %[rest], #0x100\n"
      "       orr     %[rest], %[rest], #0x1000000\n"
      "       .rept   9\n"  // to a whole number of passes: 29 + 9 = 38 = 2 + 3 x 12
      "       nop\n"
      "       .endr\n"
      "       b       1b\n"
      "3:\n"
      : [p] "+r"(p), [word] "=&r"(word), [rest] "=&r"(rest), [a] "=&r"(a), [b] "=&r"(b)
      : [last] "r"(last), [pal] "r"(pal), [spi] "r"(lpc2138::S0SPCR.addr),
        [spsr] "I"(lpc2138::S0SPSR.addr - lpc2138::S0SPCR.addr),
        [spdr] "I"(lpc2138::S0SPDR.addr - lpc2138::S0SPCR.addr)
      : "cc", "memory");
#else
  for (const std::uint8_t* p = dispram; p != dispram + kFramePixels; p += 2) {
    const std::uint32_t o = pack_pair(p);
    for (const unsigned shift : {16u, 8u, 0u}) {
      lcdlink::wait_done();
      lcdlink::put(data_word(o >> shift));
    }
  }
#endif
  lcdlink::wait_done();
}
