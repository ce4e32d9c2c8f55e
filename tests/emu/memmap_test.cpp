// The memory mapping control on the emulated chip: a program that writes MEMMAP as the manual
// allows runs clean, whichever mode it picks; only the reserved values are findings.
#include <gtest/gtest.h>

#include <cstdint>
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

}  // namespace
}  // namespace emu
