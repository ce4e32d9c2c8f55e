// The flash compared with the image a build made: which bytes count, and what the rehearsal
// boots and says for a flash that holds the image, one that differs and an image that is none.
#include "isp/flashed_image.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <vector>

namespace isp {
namespace {

const std::string kImage = LPCDEMO_BINARY_DIR "/image/lpcdemo.elf";

// 32 bytes at 0, none of them 0 or erased, so that programming a 0 over any one changes it.
std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 % 250 + 1);
  return bytes;
}

TEST(DiffersFrom, CountsTheImagesBytesButTheChecksumWord) {
  const std::vector<std::uint8_t> bytes = pattern(32);
  const emu::ElfImage image = emu::ElfImage::from_flash(bytes);
  struct Case {
    std::uint32_t cleared;  // the flash byte programmed to 0 after the image
    std::optional<std::uint32_t> found;
  };
  for (const Case& c :
       {Case{0x00, 0x00}, Case{0x13, 0x13}, Case{0x14, std::nullopt}, Case{0x17, std::nullopt},
        Case{0x18, 0x18}, Case{0x1F, 0x1F}, Case{0x20, std::nullopt}}) {
    Flash flash;
    flash.program(0, bytes);
    EXPECT_EQ(differs_from(flash, image), std::nullopt);
    const std::uint8_t zero = 0;
    flash.program(c.cleared, {&zero, 1});
    EXPECT_EQ(differs_from(flash, image), c.found) << "byte " << c.cleared << " cleared";
  }
}

TEST(DiffersFrom, StopsAtTheEndOfFlash) {
  // An image that runs on past the flash's last byte: what lies beyond is no flash to compare.
  std::vector<std::uint8_t> bytes(kFlashSize + 4, 0x5A);
  const emu::ElfImage image = emu::ElfImage::from_flash(bytes);
  Flash flash;
  flash.program(0, {bytes.data(), kFlashSize});
  EXPECT_EQ(differs_from(flash, image), std::nullopt);
}

// The image's .data initialisers lie in flash after its code, a segment of their own: a byte
// changed there is named by its flash address, not by its place in the segment.
TEST(DiffersFrom, NamesTheFlashAddressInEverySegment) {
  if (!std::filesystem::exists(kImage)) GTEST_SKIP() << "the image is not built";
  const emu::ElfImage elf = emu::ElfImage::load(kImage);
  int checked = 0;
  for (const emu::Segment& s : elf.segments()) {
    if (s.addr < 0x100 || s.addr >= kFlashSize) continue;
    const auto last = std::find_if(s.bytes.rbegin(), s.bytes.rend(), [](auto b) { return b; });
    if (last == s.bytes.rend()) continue;
    const auto at = s.addr + static_cast<std::uint32_t>(s.bytes.rend() - last - 1);
    Flash flash;
    for (const emu::Segment& t : elf.segments()) {
      if (t.addr < kFlashSize) flash.program(t.addr, t.bytes);
    }
    const std::uint8_t zero = 0;
    flash.program(at, {&zero, 1});
    EXPECT_EQ(differs_from(flash, elf), at);
    ++checked;
  }
  EXPECT_GT(checked, 0) << "no segment in flash past the vectors";
}

TEST(FlashedImage, SymbolsOnlyForTheImageTheFlashHolds) {
  if (!std::filesystem::exists(kImage)) GTEST_SKIP() << "the image is not built";
  const emu::ElfImage elf = emu::ElfImage::load(kImage);
  struct Case {
    const char* what;
    std::string path;
    bool changed;
    std::string said;
    bool symbols;
  };
  for (const Case& c : {
           Case{"the image", kImage, false,
                "lpcdemo isp: the flash holds " + kImage + "; findings name its symbols\n", true},
           Case{"a byte changed", kImage, true,
                "lpcdemo isp: the flash differs from " + kImage +
                    " at 0x00000018; findings name addresses only\n",
                false},
           Case{"no image", "/nonexistent.elf", false,
                "lpcdemo isp: /nonexistent.elf is no image to compare the flash with; findings "
                "name addresses only\n",
                false},
       }) {
    Flash flash;
    for (const emu::Segment& s : elf.segments()) {
      if (s.addr < kFlashSize) flash.program(s.addr, s.bytes);
    }
    if (c.changed) {
      const std::uint8_t zero = 0;
      ASSERT_NE(flash.bytes()[0x18], 0);
      flash.program(0x18, {&zero, 1});
    }
    std::ostringstream out;
    const emu::ElfImage booted = flashed_image(flash, c.path, out);
    EXPECT_EQ(out.str(), c.said) << c.what;
    EXPECT_EQ(booted.find("main").has_value(), c.symbols) << c.what;
    // Whatever it names, it boots the bytes of the flash, changed or not.
    ASSERT_EQ(booted.segments().size(), 1u);
    EXPECT_TRUE(std::equal(booted.segments()[0].bytes.begin(), booted.segments()[0].bytes.end(),
                           flash.bytes().begin()))
        << c.what;
  }
}

}  // namespace
}  // namespace isp
