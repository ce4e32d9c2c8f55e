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

// The first byte of `flash` that differs from what the image puts there, the vector checksum
// word aside (lpc21isp writes it; the core never executes it). Bytes the image leaves alone
// (lpc21isp pads the last block) and bytes it puts in RAM (a debugger loads them, flashing does
// not) do not count.
std::optional<std::uint32_t> differs_from(const Flash& flash, const emu::ElfImage& image);

// The flash as an image to boot. The names and code ranges of the image at `elf_path` come
// along only when the flash holds that image; anything else runs with addresses alone. Says
// which on `out`.
emu::ElfImage flashed_image(const Flash& flash, const std::string& elf_path, std::ostream& out);

}  // namespace isp
