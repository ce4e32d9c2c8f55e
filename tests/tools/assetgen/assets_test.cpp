#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "assetgen/assets.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
using namespace assetgen;

const std::string kSource = LPCDEMO_SOURCE_DIR;
const std::string kPicture = kSource + "/assets/cake.png";
const std::string kText = kSource + "/assets/text.txt";
const std::string kCommitted = kSource + "/firmware/effects/assets.cpp";

constexpr Rgb kWhite{255, 255, 255};

class AssetgenTool : public ::testing::Test {
 protected:
  std::string path(const std::string& name) const { return (dir / name).string(); }

  struct Outcome {
    int status;
    std::string errors;
  };
  Outcome run(const std::string& args) const {
    const std::string err = path("stderr.txt");
    const int rc = std::system((std::string(ASSETGEN_PATH) + " " + args + " 2>" + err).c_str());
    return {WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, read_file(err)};
  }
  Outcome encode(const std::string& picture, const std::string& text) const {
    return run("encode " + picture + " " + text + " " + LPCDEMO_TEXT_FONT + " " + path("out.cpp"));
  }
  std::string write_text(const std::string& text) const {
    const std::string p = path("text.txt");
    std::ofstream(p) << text;
    return p;
  }

  test::TempDir dir;
};

// A white picture of the firmware's size with `colours` other colours, one pixel each.
RgbImage picture_with(int colours, int w = kPictureWidth, int h = kPictureHeight) {
  RgbImage image{w, h, std::vector<Rgb>(static_cast<std::size_t>(w * h), kWhite)};
  for (int i = 0; i < colours; ++i) {
    image.pixels[i] = {static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i / 2), 9};
  }
  return image;
}

bool refused(const auto& call, const std::string& words) {
  try {
    call();
  } catch (const Refusal& r) {
    return std::string(r.what()).find(words) != std::string::npos;
  }
  return false;
}

TEST(AssetgenPicture, WhiteTakesIndex127AndTheOthersCountUpInColourOrder) {
  RgbImage image = picture_with(0);
  image.pixels[5] = {255, 0, 0};
  image.pixels[6] = {0, 255, 0};
  image.pixels[7] = {0, 0, 255};
  image.pixels[8] = {0, 0, 255};
  const Picture p = index_picture(image);
  // Sorted by red, then green, then blue: blue 0, green 1, red 2.
  EXPECT_EQ(p.pixels[0], 127);
  EXPECT_EQ(p.pixels[5], 2);
  EXPECT_EQ(p.pixels[6], 1);
  EXPECT_EQ(p.pixels[7], 0);
  EXPECT_EQ(p.pixels[8], 0);
  const std::array<std::uint8_t, 12> head{0, 0, 255, 0, 255, 0, 255, 0, 0, 0, 0, 0};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), p.cmap.begin()));
  EXPECT_EQ(p.cmap[3 * 127], 255);
  EXPECT_EQ(p.cmap[3 * 127 + 2], 255);
  EXPECT_TRUE(std::all_of(p.cmap.begin() + 3 * 128, p.cmap.end(), [](int c) { return c == 0; }));
}

TEST(AssetgenPicture, RefusesWhatThePaletteCannotHold) {
  EXPECT_NO_THROW(index_picture(picture_with(127)));  // 127 colours and white: exactly full
  EXPECT_TRUE(refused([] { index_picture(picture_with(128)); }, "129 colours"));
  EXPECT_TRUE(refused([] { index_picture(picture_with(0, 149, 102)); }, "149 x 102"));
  EXPECT_TRUE(refused([] { index_picture(picture_with(0, 150, 103)); }, "must be 150 x 102"));

  RgbImage dark = picture_with(0);
  std::fill(dark.pixels.begin(), dark.pixels.begin() + 8000, Rgb{0, 0, 0});
  EXPECT_TRUE(refused([&] { index_picture(dark); }, "white"));
  RgbImage tie = picture_with(0);
  std::fill(tie.pixels.begin(), tie.pixels.begin() + 7650, Rgb{1, 2, 3});
  EXPECT_TRUE(refused([&] { index_picture(tie); }, "white"));
  RgbImage no_white = picture_with(0);
  std::fill(no_white.pixels.begin(), no_white.pixels.end(), Rgb{254, 255, 255});
  EXPECT_TRUE(refused([&] { index_picture(no_white); }, "white"));
}

TEST(AssetgenText, RendersOneLineWithBlankEnds) {
  const auto mask = render_text("HELLO, SCENE!\n", LPCDEMO_TEXT_FONT);
  ASSERT_EQ(mask.size(), 4000u);
  int first = kMaskWidth, last = -1, rows = 0, solid = 0, edge = 0;
  for (int r = 0; r < kMaskHeight; ++r) {
    bool row_ink = false;
    for (int a = 0; a < kMaskWidth; ++a) {
      const int v = mask[a + kMaskWidth * r];
      if (v == 0) continue;
      row_ink = true;
      first = std::min(first, a);
      last = std::max(last, a);
      solid += v >= 130;
      edge += v >= 50 && v < 130;
    }
    rows += row_ink;
  }
  EXPECT_EQ(first, 1);   // ink starts right after the blank first column
  EXPECT_LT(last, 100);  // thirteen characters, a few pixels each
  EXPECT_GE(rows, 7);    // capitals fill most of the ten rows
  EXPECT_GT(solid, 50);
  EXPECT_GT(edge, 0);  // anti-aliased
}

TEST(AssetgenText, RefusesWhatDoesNotFit) {
  EXPECT_TRUE(refused([] { render_text(std::string(120, 'W'), LPCDEMO_TEXT_FONT); }, "398"));
  EXPECT_TRUE(refused([] { render_text("ONE\nTWO", LPCDEMO_TEXT_FONT); }, "single line"));
  EXPECT_TRUE(refused([] { render_text("BAD \xC3", LPCDEMO_TEXT_FONT); }, "UTF-8"));
  EXPECT_TRUE(refused([] { render_text("X", "/nonexistent/font.ttf"); }, "font"));
  // Empty text leaves the mask blank rather than failing.
  const auto blank = render_text("", LPCDEMO_TEXT_FONT);
  EXPECT_TRUE(std::all_of(blank.begin(), blank.end(), [](int v) { return v == 0; }));
}

TEST(AssetgenSource, RoundTripsThePictureAndTheMask) {
  const RgbImage original = read_png(kPicture);
  Assets assets{index_picture(original), render_text(read_file(kText), LPCDEMO_TEXT_FONT)};
  const Assets back = parse_source(emit_source(assets));
  EXPECT_EQ(back.picture.cmap, assets.picture.cmap);
  EXPECT_EQ(back.picture.pixels, assets.picture.pixels);
  EXPECT_EQ(back.mask, assets.mask);
  EXPECT_EQ(expand_picture(back.picture).pixels, original.pixels);
}

TEST(AssetgenSource, RefusesASourceThatIsNotOurs) {
  const Assets assets{index_picture(picture_with(3)), std::vector<std::uint8_t>(4000, 7)};
  const std::string good = emit_source(assets);
  std::string cut = good;
  cut.erase(cut.find(" 7,"), 3);  // one mask value fewer
  EXPECT_TRUE(refused([&] { parse_source(cut); }, "txtdata has 3999 values"));
  std::string big = good;
  big.replace(big.find(" 7,"), 3, " 700,");
  EXPECT_TRUE(refused([&] { parse_source(big); }, "not a byte"));
  std::string wide = good;
  wide.replace(wide.find("width = 150"), 11, "width = 151");
  EXPECT_TRUE(refused([&] { parse_source(wide); }, "width is not 150"));
  EXPECT_TRUE(refused([] { parse_source("int x;"); }, "no header_data_cmap"));
}

TEST(AssetgenSource, TheCommittedSourceIsUpToDate) {
  Assets assets{index_picture(read_png(kPicture)),
                render_text(read_file(kText), LPCDEMO_TEXT_FONT)};
  EXPECT_EQ(emit_source(assets), read_file(kCommitted))
      << "regenerate firmware/effects/assets.cpp (build the lpcdemo_assets target)";
}

TEST_F(AssetgenTool, ToolRoundTripGivesBackTheSamePixels) {
  ASSERT_EQ(encode(kPicture, kText).status, 0);
  const Outcome back =
      run("decode " + path("out.cpp") + " " + path("back.png") + " " + path("mask.png"));
  ASSERT_EQ(back.status, 0) << back.errors;
  const RgbImage original = read_png(kPicture);
  const RgbImage decoded = read_png(path("back.png"));
  EXPECT_EQ(decoded.width, 150);
  EXPECT_EQ(decoded.height, 102);
  EXPECT_EQ(decoded.pixels, original.pixels);
  const RgbImage mask = read_png(path("mask.png"));
  EXPECT_EQ(mask.width, 400);
  EXPECT_EQ(mask.height, 10);
}

TEST_F(AssetgenTool, MaskPngKeepsEveryGreyLevelInPlace) {
  std::vector<std::uint8_t> mask(kMaskWidth * kMaskHeight);
  for (std::size_t i = 0; i < mask.size(); ++i) mask[i] = static_cast<std::uint8_t>(i * 7);
  write_mask_png(path("mask.png"), mask);
  const RgbImage back = read_png(path("mask.png"));
  EXPECT_EQ(back.width, 400);
  EXPECT_EQ(back.height, 10);
  ASSERT_EQ(back.pixels.size(), mask.size());
  for (std::size_t i = 0; i < mask.size(); ++i) {
    const std::uint8_t g = mask[i];
    ASSERT_TRUE(back.pixels[i] == (Rgb{g, g, g})) << "pixel " << i;
  }
}

TEST_F(AssetgenTool, ToolRefusesBadInputWithOneMessageAndStatusTwo) {
  const auto expect_refusal = [](const Outcome& o, const std::string& words) {
    EXPECT_EQ(o.status, 2);
    EXPECT_NE(o.errors.find(words), std::string::npos) << o.errors;
    EXPECT_EQ(std::count(o.errors.begin(), o.errors.end(), '\n'), 1) << o.errors;
  };
  write_png(path("small.png"), picture_with(3, 149, 102));
  expect_refusal(encode(path("small.png"), kText), "149 x 102");
  write_png(path("colourful.png"), picture_with(200));
  expect_refusal(encode(path("colourful.png"), kText), "201 colours");
  expect_refusal(encode(kPicture, write_text(std::string(100, 'M'))), "at most 398");
  expect_refusal(encode(path("missing.png"), kText), "missing.png");
  EXPECT_FALSE(fs::exists(path("out.cpp")));  // nothing written on refusal
}

}  // namespace
