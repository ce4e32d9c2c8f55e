// assetgen: turns the cake picture and the scroller's text into the firmware's asset source,
// and back into pictures for checking.
//
//   assetgen encode PICTURE.png TEXT.txt FONT.ttf OUT.cpp
//   assetgen decode ASSETS.cpp PICTURE.png [MASK.png]
//
// The picture may be any PNG of 150 x 102 pixels with at most 128 colours whose most frequent
// colour is pure white; the tool assigns the indices (white at 127). Any input it cannot use is
// refused with one message and exit status 2.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "assetgen/assets.h"

namespace {

constexpr int kRefused = 2;

void write_if_changed(const std::string& path, const std::string& text) {
  // Leaving an unchanged file alone keeps its timestamp, so the firmware is not rebuilt.
  {
    std::ifstream in(path, std::ios::binary);
    if (in) {
      const std::string old((std::istreambuf_iterator<char>(in)), {});
      if (old == text) return;
    }
  }
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  if (!out.flush()) throw assetgen::Refusal("cannot write " + path);
}

int encode(const std::vector<std::string>& args) {
  using namespace assetgen;
  Assets assets;
  assets.picture = index_picture(read_png(args[0]));
  assets.mask = render_text(read_file(args[1]), args[2]);
  write_if_changed(args[3], emit_source(assets));
  return 0;
}

int decode(const std::vector<std::string>& args) {
  using namespace assetgen;
  const Assets assets = parse_source(read_file(args[0]));
  write_png(args[1], assets.picture);
  if (args.size() > 2) write_mask_png(args[2], assets.mask);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  try {
    if (args.size() == 5 && args[0] == "encode") return encode({args.begin() + 1, args.end()});
    if ((args.size() == 3 || args.size() == 4) && args[0] == "decode") {
      return decode({args.begin() + 1, args.end()});
    }
    std::cerr << "usage: assetgen encode PICTURE.png TEXT.txt FONT.ttf OUT.cpp\n"
                 "       assetgen decode ASSETS.cpp PICTURE.png [MASK.png]\n";
  } catch (const std::exception& e) {
    std::cerr << "assetgen: " << e.what() << '\n';
  }
  return kRefused;
}
