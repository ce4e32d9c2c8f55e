// The firmware loader on any file: it loads or refuses with emu::BadImage, the one-line
// message the front end prints. What it loaded is then looked up as findings and the runner
// would: symbols by name, extents, and addresses described by their symbol.
#include <cstdint>

#include "emu/elf_image.h"
#include "temp_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string& path = fuzz::write_temp_file(data, size);
  try {
    const emu::ElfImage image = emu::ElfImage::load(path);
    for (const char* name : {"effectPlasma", "dispram", "_startup"}) {
      image.find(name);
      image.extent(name);
    }
    for (const emu::Segment& s : image.segments()) {
      image.describe(s.addr);
      image.describe(s.addr + static_cast<std::uint32_t>(s.bytes.size()));
    }
    for (const emu::Range& r : image.code()) image.describe(r.end - 1);
  } catch (const emu::BadImage&) {
  }
  return 0;
}
