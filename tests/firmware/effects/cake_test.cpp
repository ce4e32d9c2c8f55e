#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "display/lcd.h"
#include "dsp/sin.h"
#include "effects/effects.h"
#include "effects/rotoblitter.h"
#include "hw/lpc2138.h"
#include "support/recording_bus.h"

namespace {

constexpr int kMaskW = 400;
constexpr int kMaskRows = 10;
constexpr std::uint8_t kGround = 5;  // a picture index under the text in these tests

// Mask column that screen column x samples in frame n.
int mask_column(int x, int n) {
  return (n + (x - 100) / 2) / 2;
}
// Screen row of band row 0 in column x: row 10 moved by the wave.
int band_top(int x, int n) {
  return 10 + (isin(static_cast<std::int16_t>(4 * x + n)) >> 12);
}

void fill_frame(std::uint8_t v) {
  std::fill(dispram, dispram + kFramePixels, v);
}
std::uint8_t& pixel(int x, int y) {
  return dispram[x + kFrameWidth * y];
}

// A mask of one grey level, with a run of 255 after it that no correct reader reaches.
std::vector<std::uint8_t> uniform_mask(std::uint8_t level) {
  std::vector<std::uint8_t> m(kMaskW * kMaskRows, level);
  m.resize(m.size() + kMaskW, 255);
  return m;
}

// Screen columns with at least one marked pixel.
std::vector<int> marked_columns() {
  std::vector<int> cols;
  for (int x = 0; x < kFrameWidth; ++x) {
    for (int y = 0; y < kFrameHeight; ++y) {
      if (pixel(x, y) != kGround) {
        cols.push_back(x);
        break;
      }
    }
  }
  return cols;
}

TEST(CakeParams, FollowTheFrameCounter) {
  struct Case {
    int n, deg, zoom, midx, midy;
  };
  for (const Case c :
       {Case{0, 0, 512, 49, 33}, Case{7, 436, 918, 61, 39}, Case{300, 448, 417, 36, 26}}) {
    const cake::Params p = cake::params(c.n);
    EXPECT_EQ(p.deg, c.deg) << "n " << c.n;
    EXPECT_EQ(p.zoom, c.zoom) << "n " << c.n;
    EXPECT_EQ(p.midx, c.midx) << "n " << c.n;
    EXPECT_EQ(p.midy, c.midy) << "n " << c.n;
  }
}

TEST(CakeText, GreyLevelsBelowFiftyNeverMark) {
  const auto mask = uniform_mask(49);
  fill_frame(kGround);
  cake::mark_text(mask.data(), kMaskW, 300);
  EXPECT_TRUE(marked_columns().empty());
}

TEST(CakeText, EdgeShadesMarkOnACheckerboard) {
  const int n = 300;
  ASSERT_EQ(mask_column(0, n), 125);
  ASSERT_EQ(mask_column(97, n), 149);
  ASSERT_EQ(band_top(0, n), 17);  // the wave lifts column 0 by 7 rows
  for (const std::uint8_t level : {std::uint8_t{50}, std::uint8_t{129}}) {
    const auto mask = uniform_mask(level);
    fill_frame(kGround);
    cake::mark_text(mask.data(), kMaskW, n);
    for (int x = 0; x < kFrameWidth; ++x) {
      const int top = band_top(x, n);
      for (int y = 0; y < 40; ++y) {
        const std::uint8_t want = (x + y) % 2 == 0 ? kGround + 128 : kGround;
        ASSERT_EQ(pixel(x, top + y), want) << "level " << +level << " x " << x << " y " << y;
      }
    }
  }
}

TEST(CakeText, SolidInkMarksTheWholeBandOnceAndNothingElse) {
  for (const std::uint8_t level : {std::uint8_t{130}, std::uint8_t{255}}) {
    for (const int n : {300, 420, 555}) {
      const auto mask = uniform_mask(level);
      fill_frame(kGround);
      cake::mark_text(mask.data(), kMaskW, n);
      for (int x = 0; x < kFrameWidth; ++x) {
        const int top = band_top(x, n);
        for (int y = 0; y < kFrameHeight; ++y) {
          const bool in_band = y >= top && y < top + 40;
          ASSERT_EQ(pixel(x, y), in_band ? kGround + 128 : kGround) << "x " << x << " y " << y;
          if (y < 2 || y > 56) {
            ASSERT_FALSE(in_band) << "the band reaches row " << y;
          }
        }
      }
    }
  }
}

TEST(CakeText, MarkingMovesIndicesHalfwayRoundThePalette) {
  const auto mask = uniform_mask(255);
  const int n = 300, x = 40, row = band_top(x, n) + 3;
  for (const auto& [before, after] :
       std::array<std::array<int, 2>, 4>{{{0, 128}, {127, 255}, {128, 0}, {200, 72}}}) {
    fill_frame(kGround);
    pixel(x, row) = static_cast<std::uint8_t>(before);
    cake::mark_text(mask.data(), kMaskW, n);
    EXPECT_EQ(pixel(x, row), after) << "index " << before;
  }
}

// A mask whose only ink is mask column `col`.
std::vector<std::uint8_t> column_mask(int col) {
  std::vector<std::uint8_t> m(kMaskW * kMaskRows + kMaskW, 0);
  for (int r = 0; r < kMaskRows; ++r) m[col + kMaskW * r] = 255;
  return m;
}

TEST(CakeText, TheTextEntersFromTheRightEdge) {
  // Frame 0: only screen column 97 reaches the mask, at its column 0.
  auto mask = column_mask(0);
  fill_frame(kGround);
  cake::mark_text(mask.data(), kMaskW, 0);
  EXPECT_EQ(marked_columns(), std::vector<int>{97});

  // Frame 3: column 97 has moved on to mask column 1; 91 to 96 sample column 0, since both
  // halvings truncate toward zero ((3 + (91 - 100) / 2) / 2 = -1 / 2 = 0).
  fill_frame(kGround);
  cake::mark_text(mask.data(), kMaskW, 3);
  EXPECT_EQ(marked_columns(), (std::vector<int>{91, 92, 93, 94, 95, 96}));
  mask = column_mask(1);
  fill_frame(kGround);
  cake::mark_text(mask.data(), kMaskW, 3);
  EXPECT_EQ(marked_columns(), std::vector<int>{97});

  // Frame 7: column 0 is still before the text (mask column -21), 97 is at column 3.
  ASSERT_EQ(mask_column(0, 7), -21);
  mask = column_mask(3);
  fill_frame(kGround);
  cake::mark_text(mask.data(), kMaskW, 7);
  EXPECT_EQ(marked_columns(), std::vector<int>{97});
}

TEST(CakeText, NothingPastTheMasksLastColumnIsRead) {
  // Frame 801 puts screen column 97 at mask column 400, one past the end; the ink in column 0
  // of each row (and the 255s after the mask) would show if that were read.
  ASSERT_EQ(mask_column(97, 801), kMaskW);
  ASSERT_EQ(mask_column(96, 801), kMaskW - 1);
  auto mask = column_mask(0);
  std::fill(mask.begin() + kMaskW * kMaskRows, mask.end(), 255);
  fill_frame(kGround);
  cake::mark_text(mask.data(), kMaskW, 801);
  EXPECT_TRUE(marked_columns().empty());
  // From frame 850 on no column reaches the text at all.
  const auto full = uniform_mask(255);
  fill_frame(kGround);
  cake::mark_text(full.data(), kMaskW, 850);
  EXPECT_TRUE(marked_columns().empty());
  fill_frame(kGround);
  cake::mark_text(full.data(), kMaskW, 849);
  EXPECT_EQ(marked_columns(), std::vector<int>{0});
}

TEST(CakeText, ExtremeFrameCountersStayOffTheText) {
  const auto full = uniform_mask(255);
  for (const int n : {-1, -1000, INT32_MIN, INT32_MIN + 49, INT32_MAX}) {
    fill_frame(kGround);
    cake::mark_text(full.data(), kMaskW, n);
    EXPECT_TRUE(marked_columns().empty()) << "n " << n;
  }
}

// The committed picture and text as the firmware embeds them.
TEST(CakeAssets, PictureIsIndexedIntoTheLowerHalfWithAWhiteBackground) {
  ASSERT_EQ(width, 150u);
  ASSERT_EQ(height, 102u);
  ASSERT_EQ(txtwidth, 400u);
  std::array<int, 256> counts{};
  for (std::size_t i = 0; i < width * height; ++i) ++counts[header_data[i]];
  for (int i = 128; i < 256; ++i) EXPECT_EQ(counts[i], 0) << "index " << i;
  EXPECT_EQ(std::max_element(counts.begin(), counts.end()) - counts.begin(), 127);
  EXPECT_EQ(header_data_cmap[3 * 127], 255);
  EXPECT_EQ(header_data_cmap[3 * 127 + 1], 255);
  EXPECT_EQ(header_data_cmap[3 * 127 + 2], 255);
  for (int i = 3 * 128; i < 3 * 256; ++i) EXPECT_EQ(header_data_cmap[i], 0) << "byte " << i;
}

TEST(CakeAssets, TextHasBlankEndsAndInkBetween) {
  int ink = 0;
  for (int r = 0; r < kMaskRows; ++r) {
    EXPECT_EQ(txtdata[txtwidth * r], 0) << "row " << r;
    EXPECT_EQ(txtdata[txtwidth * r + txtwidth - 1], 0) << "row " << r;
    for (std::uint32_t a = 0; a < txtwidth; ++a) ink += txtdata[txtwidth * r + a] >= 130;
  }
  EXPECT_GT(ink, 300);  // a line of text, not a few stray dots
}

TEST(CakeAssets, PaletteModeTwoTakesThePicturesColours) {
  initpal(2);
  EXPECT_EQ(pal[127], 0xFFF);
  EXPECT_EQ(pal[255], 0x77F);  // white shaded: red and green halved, blue kept
  for (int i = 0; i < 128; ++i) {
    const int r = header_data_cmap[3 * i], g = header_data_cmap[3 * i + 1],
              b = header_data_cmap[3 * i + 2];
    EXPECT_EQ(pal[i], (r / 16) * 256 + (g / 16) * 16 + b / 16) << "entry " << i;
    EXPECT_EQ(pal[128 + i], (r / 32) * 256 + (g / 32) * 16 + b / 16) << "entry " << 128 + i;
  }
}

// The whole effect: the blitted picture, shaded under the text, sent as one frame.
class CakeFrame : public ::testing::Test {
 protected:
  test::RecordingBus bus;
  test::ScopedBus scoped{bus};

  std::vector<std::uint32_t> sent_words() const {
    std::vector<std::uint32_t> words;
    for (const test::Access& a : bus.writes()) {
      if (a.addr == lpc2138::S0SPDR.addr) words.push_back(a.value);
    }
    return words;
  }
};

std::vector<std::uint8_t> blitted(int deg, int zoom, int midx, int midy) {
  rotoblit(header_data, 150, 102, static_cast<std::int16_t>(deg), zoom,
           static_cast<std::uint8_t>(midx), static_cast<std::uint8_t>(midy));
  return {dispram, dispram + kFramePixels};
}

TEST_F(CakeFrame, FrameZeroIsThePictureAtHalfSizeWithNoText) {
  const auto want = blitted(0, 512, 49, 33);
  fill_frame(0);
  effectCake(0);
  EXPECT_EQ(std::vector<std::uint8_t>(dispram, dispram + kFramePixels), want);
  const auto words = sent_words();
  ASSERT_EQ(words.size(), 9850u);
  // The port sends the command flag inverted: the frame-start command 0x12C goes out as 0x02C,
  // every data byte with bit 8 set.
  EXPECT_EQ(words[0], 0x02Cu);
  EXPECT_TRUE(std::all_of(words.begin() + 1, words.end(), [](auto w) { return w >= 0x100; }));
}

TEST_F(CakeFrame, TextPixelsAreTheShadedTwinsOfThePicture) {
  const int n = 300;
  const auto picture = blitted(448, 417, 36, 26);
  effectCake(n);
  int marked = 0;
  for (int x = 0; x < kFrameWidth; ++x) {
    const int a = mask_column(x, n);
    for (int y = 0; y < kFrameHeight; ++y) {
      const int band = y - band_top(x, n);
      bool mark = false;
      if (band >= 0 && band < 40 && a >= 0 && a < kMaskW) {
        const int t = txtdata[a + (band / 4) * kMaskW];
        mark = t >= 130 || (t >= 50 && (x + band) % 2 == 0);
      }
      const std::uint8_t under = picture[x + kFrameWidth * y];
      ASSERT_EQ(pixel(x, y), mark ? under + 128 : under) << "x " << x << " y " << y;
      marked += mark;
    }
  }
  EXPECT_GT(marked, 0);  // frame 300 shows part of the text
  EXPECT_EQ(sent_words().size(), 9850u);
}

}  // namespace
