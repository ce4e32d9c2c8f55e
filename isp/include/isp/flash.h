// The LPC2138's flash as its boot loader programs it: the model is the emulator's (emu/flash.h),
// which a debugger's download programs by the same rules.
#pragma once

#include "emu/flash.h"

namespace isp {

using emu::Flash;
using emu::kErased;
using emu::kFlashSize;
using emu::kSectors;
using emu::kUserFlashEnd;
using emu::sector_of;
using emu::sector_size;
using emu::sector_start;

}  // namespace isp
