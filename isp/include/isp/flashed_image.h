// What the boot loader programmed, as the emulator boots it, and how it compares with the image
// a build made: the rehearsal names symbols in its findings only when the flash holds that image.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "emu/elf_image.h"
#include "isp/flash.h"

namespace isp {

// Where the flash differs from an image (emu/flash.h).
using emu::differs_from;

// The flash as an image to boot. The names and code ranges of the image at `elf_path` come
// along only when the flash holds that image; anything else runs with addresses alone. Says
// which on `out`.
emu::ElfImage flashed_image(const Flash& flash, const std::string& elf_path, std::ostream& out);

}  // namespace isp
