#include "isp/flashed_image.h"

#include "sim/format.h"

namespace isp {

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
