// The cake picture and the scroller's text mask as the firmware embeds them, and the
// conversions between them and their editable sources (a PNG and a line of text).
#pragma once

#include <array>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace assetgen {

inline constexpr int kPictureWidth = 150;
inline constexpr int kPictureHeight = 102;
inline constexpr int kColours = 128;     // the palette's upper half shades the lower
inline constexpr int kBackground = 127;  // white, and the most frequent index
inline constexpr int kMapEntries = 256;  // colour map entries; 128..255 stay zero
inline constexpr int kMaskWidth = 400;
inline constexpr int kMaskHeight = 10;
inline constexpr int kMaskInkWidth = kMaskWidth - 2;  // first and last columns stay blank

// An input the firmware cannot use; the message says what is wrong and what would fit.
struct Refusal : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Rgb {
  std::uint8_t r, g, b;
  auto operator<=>(const Rgb&) const = default;
};

struct RgbImage {
  int width = 0;
  int height = 0;
  std::vector<Rgb> pixels;  // row-major
};

// Palette indices with their colour map, in the firmware's layout.
struct Picture {
  std::vector<std::uint8_t> pixels;                  // kPictureWidth x kPictureHeight
  std::array<std::uint8_t, 3 * kMapEntries> cmap{};  // red, green, blue per entry
};

struct Assets {
  Picture picture;
  std::vector<std::uint8_t> mask;  // kMaskWidth x kMaskHeight grey levels, row-major
};

// Any PNG, as 8-bit RGB; transparency is laid over white, the picture's background.
RgbImage read_png(const std::string& path);
void write_png(const std::string& path, const RgbImage& image);
// A colour-mapped PNG of the picture (kColours entries).
void write_png(const std::string& path, const Picture& picture);
// A grey PNG of the mask.
void write_mask_png(const std::string& path, const std::vector<std::uint8_t>& mask);

// Builds the palette: white at kBackground, the other colours in RGB order from 0.
// Refuses a picture of the wrong size, with more than kColours colours, or whose most
// frequent colour is not white.
Picture index_picture(const RgbImage& image);
RgbImage expand_picture(const Picture& picture);

// Renders one line of UTF-8 text anti-aliased in the font at the largest pixel size whose
// ink fits the mask's height. Refuses text wider than kMaskInkWidth columns.
std::vector<std::uint8_t> render_text(const std::string& text, const std::string& font_path);

std::string emit_source(const Assets& assets);
// Reads back what emit_source wrote; refuses anything else.
Assets parse_source(const std::string& source);

std::string read_file(const std::string& path);

}  // namespace assetgen
