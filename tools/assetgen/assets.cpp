#include "assetgen/assets.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include <png.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <span>
#include <sstream>

namespace assetgen {
namespace {

constexpr Rgb kWhite{255, 255, 255};
constexpr int kValuesPerLine = 16;
constexpr int kLargestTextSize = 16;  // pixels per em to start from when fitting the height

std::string describe(const RgbImage& image) {
  return std::to_string(image.width) + " x " + std::to_string(image.height);
}

// Lays a partly transparent pixel over the white background.
std::uint8_t over_white(std::uint8_t c, std::uint8_t alpha) {
  return static_cast<std::uint8_t>((c * alpha + 255 * (255 - alpha) + 127) / 255);
}

}  // namespace

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Refusal("cannot read " + path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

RgbImage read_png(const std::string& path) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_file(&png, path.c_str())) {
    throw Refusal(path + ": not a readable PNG (" + png.message + ")");
  }
  png.format = PNG_FORMAT_RGBA;
  std::vector<std::uint8_t> rgba(PNG_IMAGE_SIZE(png));
  if (!png_image_finish_read(&png, nullptr, rgba.data(), 0, nullptr)) {
    const std::string message = png.message;
    png_image_free(&png);
    throw Refusal(path + ": " + message);
  }
  RgbImage image{static_cast<int>(png.width), static_cast<int>(png.height), {}};
  image.pixels.reserve(rgba.size() / 4);
  for (std::size_t i = 0; i < rgba.size(); i += 4) {
    const std::uint8_t a = rgba[i + 3];
    image.pixels.push_back(
        {over_white(rgba[i], a), over_white(rgba[i + 1], a), over_white(rgba[i + 2], a)});
  }
  return image;
}

namespace {

// colours: a colour map of `entries` RGB triples, for the colour-mapped format only.
void write(const std::string& path, int width, int height, png_uint_32 format, const void* pixels,
           const void* colours = nullptr, png_uint_32 entries = 0) {
  png_image png{};
  png.version = PNG_IMAGE_VERSION;
  png.width = static_cast<png_uint_32>(width);
  png.height = static_cast<png_uint_32>(height);
  png.format = format;
  png.colormap_entries = entries;
  if (!png_image_write_to_file(&png, path.c_str(), 0, pixels, 0, colours)) {
    throw Refusal("cannot write " + path + " (" + png.message + ")");
  }
}

}  // namespace

void write_png(const std::string& path, const RgbImage& image) {
  static_assert(sizeof(Rgb) == 3);
  write(path, image.width, image.height, PNG_FORMAT_RGB, image.pixels.data());
}

void write_png(const std::string& path, const Picture& picture) {
  write(path, kPictureWidth, kPictureHeight, PNG_FORMAT_RGB_COLORMAP, picture.pixels.data(),
        picture.cmap.data(), kColours);
}

void write_mask_png(const std::string& path, const std::vector<std::uint8_t>& mask) {
  write(path, kMaskWidth, kMaskHeight, PNG_FORMAT_GRAY, mask.data());
}

Picture index_picture(const RgbImage& image) {
  if (image.width != kPictureWidth || image.height != kPictureHeight) {
    throw Refusal("the picture is " + describe(image) + " pixels; it must be " +
                  std::to_string(kPictureWidth) + " x " + std::to_string(kPictureHeight));
  }
  std::map<Rgb, int> counts;
  for (const Rgb& p : image.pixels) ++counts[p];
  if (counts.size() > static_cast<std::size_t>(kColours)) {
    throw Refusal("the picture has " + std::to_string(counts.size()) + " colours; at most " +
                  std::to_string(kColours) + " fit the palette");
  }
  const auto most =
      std::max_element(counts.begin(), counts.end(),
                       [](const auto& a, const auto& b) { return a.second < b.second; });
  // White must dominate: the background is index 127, and a tie would make that a matter of
  // luck rather than of the picture.
  const auto white = counts.find(kWhite);
  if (white == counts.end() || most->first != kWhite ||
      std::count_if(counts.begin(), counts.end(),
                    [&](const auto& c) { return c.second == white->second; }) > 1) {
    throw Refusal(
        "the picture's background must be pure white (255, 255, 255), more frequent "
        "than any other colour");
  }

  Picture picture;
  std::map<Rgb, std::uint8_t> index;
  int next = 0;
  for (const auto& [colour, count] : counts) {
    const int i = colour == kWhite ? kBackground : next++;
    index[colour] = static_cast<std::uint8_t>(i);
    picture.cmap[3 * i] = colour.r;
    picture.cmap[3 * i + 1] = colour.g;
    picture.cmap[3 * i + 2] = colour.b;
  }
  picture.pixels.reserve(image.pixels.size());
  for (const Rgb& p : image.pixels) picture.pixels.push_back(index[p]);
  return picture;
}

RgbImage expand_picture(const Picture& picture) {
  RgbImage image{kPictureWidth, kPictureHeight, {}};
  for (const std::uint8_t i : picture.pixels) {
    image.pixels.push_back({picture.cmap[3 * i], picture.cmap[3 * i + 1], picture.cmap[3 * i + 2]});
  }
  return image;
}

namespace {

std::vector<char32_t> decode_utf8(const std::string& text) {
  std::vector<char32_t> out;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const int extra = lead < 0x80             ? 0
                      : (lead & 0xE0) == 0xC0 ? 1
                      : (lead & 0xF0) == 0xE0 ? 2
                      : (lead & 0xF8) == 0xF0 ? 3
                                              : -1;
    if (extra < 0 || i + extra >= text.size()) throw Refusal("the text is not valid UTF-8");
    char32_t c = extra == 0 ? lead : lead & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) throw Refusal("the text is not valid UTF-8");
      c = (c << 6) | (next & 0x3F);
    }
    out.push_back(c);
    i += 1 + extra;
  }
  return out;
}

std::string code_point(char32_t c) {
  std::ostringstream h;
  h << "U+" << std::hex << std::uppercase << static_cast<unsigned>(c);
  return h.str();
}

struct Library {
  FT_Library lib = nullptr;
  FT_Face face = nullptr;
  explicit Library(const std::string& font_path) {
    if (FT_Init_FreeType(&lib)) throw Refusal("FreeType does not start");
    if (FT_New_Face(lib, font_path.c_str(), 0, &face)) {
      FT_Done_FreeType(lib);
      throw Refusal("cannot load the font " + font_path);
    }
  }
  ~Library() {
    FT_Done_Face(face);
    FT_Done_FreeType(lib);
  }
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
};

// One line of glyphs with the pen starting at x = 0 on baseline y = 0, y growing downward.
struct Line {
  struct Glyph {
    int left, top, width, rows, pitch;
    std::vector<std::uint8_t> grey;
  };
  std::vector<Glyph> glyphs;
  int ink_left = 0, ink_right = 0, ink_top = 0, ink_bottom = 0;  // right, bottom exclusive
  bool has_ink() const { return ink_right > ink_left; }
};

Line lay_out(FT_Face face, const std::vector<char32_t>& text, int size) {
  if (FT_Set_Pixel_Sizes(face, 0, static_cast<FT_UInt>(size))) {
    throw Refusal("the font has no size " + std::to_string(size));
  }
  Line line;
  line.ink_left = line.ink_top = 1 << 20;
  line.ink_right = line.ink_bottom = -(1 << 20);
  FT_Pos pen = 0;  // 26.6 fixed point
  FT_UInt previous = 0;
  for (const char32_t c : text) {
    const FT_UInt glyph = FT_Get_Char_Index(face, c);
    if (glyph == 0 && c != ' ') {
      throw Refusal("the font has no glyph for " + code_point(c));
    }
    if (previous && FT_HAS_KERNING(face)) {
      FT_Vector k;
      if (!FT_Get_Kerning(face, previous, glyph, FT_KERNING_DEFAULT, &k)) pen += k.x;
    }
    if (FT_Load_Glyph(face, glyph, FT_LOAD_RENDER)) throw Refusal("the font fails to render");
    const FT_GlyphSlot slot = face->glyph;
    const FT_Bitmap& bm = slot->bitmap;
    Line::Glyph g{static_cast<int>((pen >> 6) + slot->bitmap_left),
                  -slot->bitmap_top,
                  static_cast<int>(bm.width),
                  static_cast<int>(bm.rows),
                  bm.pitch,
                  {}};
    g.grey.assign(bm.buffer, bm.buffer + static_cast<std::size_t>(bm.rows) * std::abs(bm.pitch));
    for (int y = 0; y < g.rows; ++y) {
      for (int x = 0; x < g.width; ++x) {
        if (g.grey[y * g.pitch + x] == 0) continue;
        line.ink_left = std::min(line.ink_left, g.left + x);
        line.ink_right = std::max(line.ink_right, g.left + x + 1);
        line.ink_top = std::min(line.ink_top, g.top + y);
        line.ink_bottom = std::max(line.ink_bottom, g.top + y + 1);
      }
    }
    line.glyphs.push_back(std::move(g));
    pen += slot->advance.x;
    previous = glyph;
  }
  return line;
}

}  // namespace

std::vector<std::uint8_t> render_text(const std::string& text, const std::string& font_path) {
  std::string one_line = text;
  while (!one_line.empty() && (one_line.back() == '\n' || one_line.back() == '\r')) {
    one_line.pop_back();
  }
  if (one_line.find('\n') != std::string::npos) {
    throw Refusal("the text must be a single line");
  }
  const std::vector<char32_t> chars = decode_utf8(one_line);
  std::vector<std::uint8_t> mask(kMaskWidth * kMaskHeight, 0);

  Library ft(font_path);
  Line line;
  int size = kLargestTextSize;
  for (;; --size) {
    line = lay_out(ft.face, chars, size);
    if (!line.has_ink() || line.ink_bottom - line.ink_top <= kMaskHeight) break;
  }
  if (!line.has_ink()) return mask;
  const int width = line.ink_right - line.ink_left;
  if (width > kMaskInkWidth) {
    throw Refusal("the text is " + std::to_string(width) + " columns wide at " +
                  std::to_string(size) + " pixels per em; at most " +
                  std::to_string(kMaskInkWidth) + " fit");
  }

  // Ink starts in column 1 and is centred in the rows.
  const int dx = 1 - line.ink_left;
  const int dy = (kMaskHeight - (line.ink_bottom - line.ink_top)) / 2 - line.ink_top;
  for (const Line::Glyph& g : line.glyphs) {
    for (int y = 0; y < g.rows; ++y) {
      for (int x = 0; x < g.width; ++x) {
        const std::uint8_t v = g.grey[y * g.pitch + x];
        if (v == 0) continue;
        // Neighbouring glyphs may overlap by a pixel; the darker ink wins.
        std::uint8_t& cell = mask[(g.top + y + dy) * kMaskWidth + g.left + x + dx];
        cell = std::max(cell, v);
      }
    }
  }
  return mask;
}

namespace {

void emit_bytes(std::ostringstream& out, const std::uint8_t* data, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    out << (i % kValuesPerLine == 0 ? "    " : " ") << static_cast<unsigned>(data[i]) << ',';
    if (i % kValuesPerLine == kValuesPerLine - 1 || i + 1 == n) out << '\n';
  }
}

// One constant byte array with a comment above it.
void emit_array(std::ostringstream& out, const std::string& comment, const std::string& name,
                const std::string& size, std::span<const std::uint8_t> data) {
  out << "// " << comment << "\nconst std::uint8_t " << name << "[" << size << "] = {\n";
  emit_bytes(out, data.data(), data.size());
  out << "};\n\n";
}

std::string dims(int w, int h) {
  return std::to_string(w) + " * " + std::to_string(h);
}

}  // namespace

std::string emit_source(const Assets& assets) {
  std::ostringstream out;
  out << "// Generated by tools/assetgen from assets/cake.png and assets/text.txt: edit those and\n"
         "// rebuild; changes made here are overwritten.\n"
         "#include <cstdint>\n\n"
         "#include \"display/lcd.h\"\n"
         "#include \"effects/effects.h\"\n\n"
         "// clang-format off\n"
         "extern \"C\" {\n\n";
  emit_array(out, "Red, green, blue of each picture index; 127 is the white background.",
             "header_data_cmap", "256 * 3", assets.picture.cmap);
  emit_array(out,
             std::to_string(kPictureWidth) + " x " + std::to_string(kPictureHeight) +
                 " palette indices, row-major, top row first.",
             "header_data", dims(kPictureWidth, kPictureHeight), assets.picture.pixels);
  emit_array(out,
             std::to_string(kMaskWidth) + " x " + std::to_string(kMaskHeight) +
                 " grey levels of the scroller's text, row-major, top row first.",
             "txtdata", dims(kMaskWidth, kMaskHeight), assets.mask);
  out << "std::uint32_t txtwidth = " << kMaskWidth << ";\nstd::uint32_t height = " << kPictureHeight
      << ";\nstd::uint32_t width = " << kPictureWidth << ";\n}\n// clang-format on\n";
  return out.str();
}

namespace {

// The values between the braces that follow `name[`.
std::vector<std::uint8_t> array_values(const std::string& source, const std::string& name,
                                       std::size_t expected) {
  const std::size_t at = source.find(" " + name + "[");
  const std::size_t open = at == std::string::npos ? at : source.find('{', at);
  const std::size_t close = open == std::string::npos ? open : source.find('}', open);
  if (close == std::string::npos) throw Refusal("the source defines no " + name);
  std::vector<std::uint8_t> values;
  std::istringstream in(source.substr(open + 1, close - open - 1));
  for (std::string item; std::getline(in, item, ',');) {
    if (item.find_first_not_of(" \n") == std::string::npos) continue;
    std::istringstream number(item);
    int v = -1;
    number >> v >> std::ws;
    if (!number.eof() || v < 0 || v > 255)
      throw Refusal(name + " holds '" + item + "', not a byte");
    values.push_back(static_cast<std::uint8_t>(v));
  }
  if (values.size() != expected) {
    throw Refusal(name + " has " + std::to_string(values.size()) + " values, not " +
                  std::to_string(expected));
  }
  return values;
}

void expect_size(const std::string& source, const std::string& name, int value) {
  const std::regex pattern("std::uint32_t " + name + " = ([0-9]+);");
  std::smatch m;
  if (!std::regex_search(source, m, pattern) || m[1] != std::to_string(value)) {
    throw Refusal("the source's " + name + " is not " + std::to_string(value));
  }
}

}  // namespace

Assets parse_source(const std::string& source) {
  Assets assets;
  const auto cmap = array_values(source, "header_data_cmap", 3 * kMapEntries);
  std::copy(cmap.begin(), cmap.end(), assets.picture.cmap.begin());
  assets.picture.pixels = array_values(source, "header_data", kPictureWidth * kPictureHeight);
  assets.mask = array_values(source, "txtdata", kMaskWidth * kMaskHeight);
  expect_size(source, "width", kPictureWidth);
  expect_size(source, "height", kPictureHeight);
  expect_size(source, "txtwidth", kMaskWidth);
  return assets;
}

}  // namespace assetgen
