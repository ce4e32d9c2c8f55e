#include "isp/flashed_image.h"

#include "sim/format.h"

namespace isp {

std::optional<std::uint32_t> differs_from(const Flash& flash, const emu::ElfImage& image) {
  constexpr std::uint32_t kChecksumWord = 0x14;
  for (const emu::Segment& s : image.segments()) {
    for (std::uint32_t i = 0; i < s.bytes.size(); ++i) {
      const std::uint32_t addr = s.addr + i;
      if (addr >= kChecksumWord && addr < kChecksumWord + 4) continue;
      if (addr >= kFlashSize) break;
      if (flash.bytes()[addr] != s.bytes[i]) return addr;
    }
  }
  return std::nullopt;
}

emu::ElfImage flashed_image(const Flash& flash, const std::string& elf_path, std::ostream& out) {
  std::optional<emu::ElfImage> elf;
  try {
    elf = emu::ElfImage::load(elf_path);
  } catch (const emu::BadImage&) {
    out << "lpcdemo isp: " << elf_path << " is no image to compare the flash with"
        << "; findings name addresses only" << std::endl;
    return emu::ElfImage::from_flash(flash.bytes());
  }
  if (const auto at = differs_from(flash, *elf)) {
    out << "lpcdemo isp: the flash differs from " << elf_path << " at " << sim::hex_word(*at)
        << "; findings name addresses only" << std::endl;
    return emu::ElfImage::from_flash(flash.bytes());
  }
  out << "lpcdemo isp: the flash holds " << elf_path << "; findings name its symbols" << std::endl;
  return emu::ElfImage::from_flash(flash.bytes(), &*elf);
}

}  // namespace isp
