// The runner's files are read back with the same libraries a user's viewer would use.
#include <gif_lib.h>
#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "runner/output.h"
#include "runner/sinks.h"
#include "runner/vcd.h"
#include "support/temp_dir.h"

namespace {

// One directory for the whole test program, removed when it exits.
std::filesystem::path temp_file(const std::string& name) {
  static const test::TempDir dir;
  return dir / name;
}

sim::LcdFrame gradient() {
  sim::LcdFrame f{};
  for (int i = 0; i < sim::kLcdPixels; ++i)
    f[i] = static_cast<std::uint16_t>(i % 256 * 0x0F1 % 0x1000);
  return f;
}

TEST(Png, ScaledPixelsCarryTheTwelveBitColour) {
  sim::LcdFrame frame{};
  frame[0] = 0xF00;
  frame[1] = 0x0A5;
  frame[sim::kLcdPixels - 1] = 0x123;
  const auto path = temp_file("frame.png");
  runner::write_png(path.string(), frame, 2);

  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str()));
  image.format = PNG_FORMAT_RGB;
  std::vector<png_byte> rgb(PNG_IMAGE_SIZE(image));
  ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
  ASSERT_EQ(image.width, 196u);
  ASSERT_EQ(image.height, 134u);
  auto px = [&](int x, int y) {
    const png_byte* p = &rgb[(static_cast<std::size_t>(y) * image.width + x) * 3];
    return std::array<int, 3>{p[0], p[1], p[2]};
  };
  EXPECT_EQ(px(0, 0), (std::array<int, 3>{255, 0, 0}));
  EXPECT_EQ(px(1, 1), (std::array<int, 3>{255, 0, 0}));  // scale 2: a 2x2 block per pixel
  EXPECT_EQ(px(2, 0), (std::array<int, 3>{0, 0xAA, 0x55}));
  EXPECT_EQ(px(195, 133), (std::array<int, 3>{0x11, 0x22, 0x33}));
  EXPECT_EQ(px(4, 0), (std::array<int, 3>{0, 0, 0}));
}

TEST(Gif, LoopsAndKeepsFramesDelaysAndColours) {
  std::vector<sim::LcdFrame> frames(3, gradient());
  frames[1].fill(0xFFF);
  frames[2][5] = 0x00F;
  const auto path = temp_file("anim.gif");
  runner::write_gif(path.string(), frames, {7, 9, 11}, 1);

  int err = 0;
  GifFileType* gif = DGifOpenFileName(path.c_str(), &err);
  ASSERT_NE(gif, nullptr);
  ASSERT_EQ(DGifSlurp(gif), GIF_OK);
  ASSERT_EQ(gif->ImageCount, 3);
  EXPECT_EQ(gif->SWidth, 98);
  EXPECT_EQ(gif->SHeight, 67);

  bool loops = false;
  for (int i = 0; i < gif->SavedImages[0].ExtensionBlockCount; ++i) {
    const auto& b = gif->SavedImages[0].ExtensionBlocks[i];
    if (b.Function == APPLICATION_EXT_FUNC_CODE && b.ByteCount == 11 &&
        std::string(reinterpret_cast<char*>(b.Bytes), 11) == "NETSCAPE2.0") {
      loops = true;
    }
  }
  EXPECT_TRUE(loops);

  const int delays[] = {7, 9, 11};
  for (int f = 0; f < 3; ++f) {
    GraphicsControlBlock gcb;
    ASSERT_EQ(DGifSavedExtensionToGCB(gif, f, &gcb), GIF_OK);
    EXPECT_EQ(gcb.DelayTime, delays[f]);
    const SavedImage& img = gif->SavedImages[f];
    const ColorMapObject* map = img.ImageDesc.ColorMap ? img.ImageDesc.ColorMap : gif->SColorMap;
    ASSERT_NE(map, nullptr);
    for (int i = 0; i < sim::kLcdPixels; i += 97) {
      const GifColorType c = map->Colors[img.RasterBits[i]];
      const unsigned want = frames[f][i];
      ASSERT_EQ(c.Red, ((want >> 8) & 0xF) * 17) << "frame " << f << " pixel " << i;
      ASSERT_EQ(c.Green, ((want >> 4) & 0xF) * 17);
      ASSERT_EQ(c.Blue, (want & 0xF) * 17);
    }
  }
  DGifCloseFile(gif, &err);
}

TEST(Words, SixteenBitLittleEndianWithTheCommandFlag) {
  const auto path = temp_file("words.bin");
  runner::write_words(path.string(), {0x12C, 0x08E, 0x0FF});
  std::ifstream in(path, std::ios::binary);
  const std::vector<unsigned char> bytes((std::istreambuf_iterator<char>(in)), {});
  EXPECT_EQ(bytes, (std::vector<unsigned char>{0x2C, 0x01, 0x8E, 0x00, 0xFF, 0x00}));
}

TEST(Output, UnwritablePathIsReportedNotIgnored) {
  const std::string bad = "/nonexistent-dir/x";
  EXPECT_THROW(runner::write_png(bad + ".png", gradient(), 1), std::runtime_error);
  EXPECT_THROW(runner::write_gif(bad + ".gif", {gradient()}, {4}, 1), std::runtime_error);
  EXPECT_THROW(runner::write_words(bad + ".bin", {1}), std::runtime_error);
}

// Every name under dir, hidden ones included.
std::set<std::string> listing(const std::filesystem::path& dir) {
  std::set<std::string> names;
  for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
    names.insert(std::filesystem::relative(e.path(), dir).string());
  }
  return names;
}

// A run's outputs appear under their names only when finished: one dropped part way, as an
// interrupted run drops them, leaves what was there before and nothing else.
TEST(Output, OutputsTakeTheirNamesOnlyWhenFinished) {
  const test::TempDir dir;
  std::ofstream(dir / "words.bin") << "before";
  const auto write = [&](bool finish) {
    runner::WordLog words((dir / "words.bin").string());
    runner::PngFrames pngs((dir / "png/run").string(), 1);
    runner::GifAnimation gif((dir / "anim.gif").string(), 1, 4);
    runner::VcdTrace vcd((dir / "trace.vcd").string());
    words.word(0x12C);
    pngs.frame(gradient(), 0, 0);
    gif.frame(gradient(), 0, 0);
    vcd.lines(0, 0);
    if (!finish) return;
    words.finish();
    pngs.finish();
    gif.finish();
    vcd.finish();
  };
  write(false);
  EXPECT_EQ(listing(dir.path()), std::set<std::string>{"words.bin"});
  EXPECT_EQ(std::filesystem::file_size(dir / "words.bin"), 6u);
  write(true);
  EXPECT_EQ(listing(dir.path()),
            (std::set<std::string>{"anim.gif", "png", "png/run", "png/run/frame0000.png",
                                   "trace.vcd", "words.bin"}));
  EXPECT_EQ(std::filesystem::file_size(dir / "words.bin"), 2u);
  // A device is written in place, never replaced by a file.
  runner::write_words("/dev/null", {1});
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/null"));
}

// What a second signal's handler removes on its way out: the temporary files and the
// directories made for the frames of the outputs not yet finished, not those finished, nor what
// was there before.
TEST(Output, RemovingTheTemporariesLeavesWhatIsNamed) {
  const test::TempDir dir;
  std::filesystem::create_directory(dir / "kept");
  runner::WordLog done((dir / "done.bin").string());
  done.word(0x12C);
  done.finish();
  runner::PngFrames named((dir / "kept/named").string(), 1);
  named.frame(gradient(), 0, 0);
  named.finish();
  {
    runner::WordLog words((dir / "words.bin").string());
    runner::PngFrames pngs((dir / "kept/a/b").string(), 1);
    runner::GifAnimation gif((dir / "anim.gif").string(), 1, 4);
    pngs.frame(gradient(), 0, 0);
    pngs.frame(gradient(), 0, 0);
    gif.frame(gradient(), 0, 0);
    runner::remove_temporaries();
    EXPECT_EQ(listing(dir.path()), (std::set<std::string>{"done.bin", "kept", "kept/named",
                                                          "kept/named/frame0000.png"}));
  }
}

}  // namespace

namespace {

TEST(FrameDelays, KeepTheBoardsPaceOverManyFrames) {
  // 31.9 frames a second on a 36 MHz clock: 3.135 cs a frame, which no single delay can say.
  const double hz = 36e6;
  const std::uint64_t frame = 1'128'000;
  std::vector<std::uint64_t> at;
  for (int i = 0; i < 101; ++i) at.push_back(500'000 + frame * i);
  const auto d = runner::frame_delays_cs(at, hz, 5);
  ASSERT_EQ(d.size(), at.size());
  long total = 0;
  for (int i = 0; i < 100; ++i) {
    EXPECT_TRUE(d[i] == 3 || d[i] == 4) << i;
    total += d[i];
  }
  EXPECT_EQ(total, 313);  // 100 frames x 3.1333 cs
  EXPECT_EQ(d.back(), d[99]);
}

TEST(FrameDelays, FastFramesAreHeldForTheShortestDelayViewersHonour) {
  const auto d = runner::frame_delays_cs({0, 1000, 2000}, 36e6, 5);
  EXPECT_EQ(d, (std::vector<int>{2, 2, 2}));
}

TEST(FrameDelays, WithoutAClockEveryFrameGetsTheFallback) {
  EXPECT_EQ(runner::frame_delays_cs({0, 0, 0}, 36e6, 5), (std::vector<int>{5, 5, 5}));
  EXPECT_EQ(runner::frame_delays_cs({}, 36e6, 5), (std::vector<int>{5}));
  EXPECT_EQ(runner::frame_delays_cs({10, 20}, 0, 7), (std::vector<int>{7, 7}));
}

}  // namespace
