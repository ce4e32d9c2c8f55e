// The emulated chip's memory map checks: a program that writes MEMMAP as the manual allows runs
// clean, whichever mode it picks, and only the reserved values are findings; the main stack may
// reach down to the end of .bss but no further.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "emu/emulator.h"
#include "sim/audio.h"

namespace emu {
namespace {

// Raw flash: the reset vector branches past the vectors to a byte store of `value` into
// MEMMAP (0xE01FC040) and the halt loop.
std::vector<std::uint8_t> memmap_writer(std::uint8_t value) {
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> words = {
      {0x00, 0xEA00000E},          // b 0x40
      {0x40, 0xE59F0008},          // ldr r0, [pc, #8]: the word at 0x50
      {0x44, 0xE3A01000 | value},  // mov r1, #value
      {0x48, 0xE5C01000},          // strb r1, [r0]
      {0x4C, 0xEAFFFFFE},          // b .
      {0x50, 0xE01FC040},          // MEMMAP
  };
  std::vector<std::uint8_t> flash(0x54, 0xFF);
  for (auto [addr, word] : words) {
    for (int i = 0; i < 4; ++i) flash[addr + i] = static_cast<std::uint8_t>(word >> (8 * i));
  }
  return flash;
}

TEST(MemoryMapControl, UserRamModeRunsCleanAndOnlyReservedValuesAreFindings) {
  struct Case {
    std::uint8_t value;
    bool reserved;
  };
  for (const Case c :
       {Case{2, false}, Case{1, false}, Case{0, false}, Case{3, true}, Case{0x42, true}}) {
    sim::Board board(sim::make_audio("silence"));
    Emulator emulator(ElfImage::from_flash(memmap_writer(c.value)), board);
    emulator.run_main();
    std::string findings;
    for (const sim::Finding& f : board.findings()) findings += f.message + "\n";
    if (c.reserved) {
      EXPECT_EQ(board.findings().size(), 1u) << int{c.value} << ": " << findings;
      EXPECT_NE(findings.find("MEMMAP"), std::string::npos) << findings;
      EXPECT_NE(findings.find("0x00000048"), std::string::npos) << findings;  // the strb
    } else {
      EXPECT_EQ(findings, "") << int{c.value};
      EXPECT_EQ(board.memmap(), c.value);
    }
  }
}

// The probe image (see emulator_test.cpp) with deep_store's four instructions replaced: sp moved
// down to _bss_end (0x40000800, from the probe's symbols), a store through it or a block's end.
TEST(MainStack, MayReachTheEndOfBssButNotBelowIt) {
  const std::string probe_path = LPCDEMO_BINARY_DIR "/emu/probe.elf";
  if (!std::filesystem::exists(probe_path)) GTEST_SKIP() << "no probe image (arm-none-eabi-as)";
  const ElfImage probe = ElfImage::load(probe_path);
  constexpr std::uint32_t kDeepStore = 0x840;
  ASSERT_EQ(probe.find("deep_store"), kDeepStore);
  ASSERT_EQ(probe.find("_bss_end"), 0x40000800u);
  struct Case {
    std::uint32_t second;  // between moving sp down to .bss's end and back
    const char* finding;
  };
  for (const Case c : {Case{0xE58D0000, ""},  // str r0, [sp]: 0x40000800, .bss's end itself
                       Case{0xEAFFFFFF, ""},  // b to the next: sp there as a block ends
                       Case{0xE50D0004,       // str r0, [sp, #-4]: the word below
                            "stack overflow: write to 0x400007fc"}}) {
    std::vector<std::uint8_t> flash;
    for (const Segment& seg : probe.segments()) {
      if (seg.addr >= 0x40000000) continue;
      flash.resize(std::max<std::size_t>(flash.size(), seg.addr + seg.bytes.size()), 0xFF);
      std::copy(seg.bytes.begin(), seg.bytes.end(), flash.begin() + seg.addr);
    }
    // sub sp, sp, #0x800 (from the top, 0x40001000); the second; add sp, sp, #0x800; bx lr.
    const std::uint32_t routine[] = {0xE24DDB02, c.second, 0xE28DDB02, 0xE12FFF1E};
    for (std::uint32_t i = 0; i < 16; ++i) {
      flash[kDeepStore + i] = static_cast<std::uint8_t>(routine[i / 4] >> (8 * (i % 4)));
    }
    sim::Board board(sim::make_audio("silence"));
    Emulator emulator(ElfImage::from_flash(flash, &probe), board);
    emulator.call("deep_store", {0x1234});
    std::string findings;
    for (const sim::Finding& f : board.findings()) findings += f.message + "\n";
    if (*c.finding == '\0') {
      EXPECT_EQ(findings, "");
    } else {
      EXPECT_NE(findings.find(c.finding), std::string::npos) << findings;
    }
  }
}

}  // namespace
}  // namespace emu
