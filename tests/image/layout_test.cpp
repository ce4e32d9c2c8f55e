// The built image read back from its ELF file: vector table, memory map, kept entry points and
// assets, and the flash files that go to the board.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "image/elf_file.h"

namespace test {
namespace {

// LDR encoding (ARM ARM, single data transfer): cond AL, bits 27-26 = 01, P = 1 (offset
// applied before the access), U = bit 23 (add or subtract), B = 0 (word), W = 0, L = 1 (load),
// 12-bit offset.
constexpr std::uint32_t kCondAlways = 0xEu << 28;
constexpr std::uint32_t kSingleTransfer = 1u << 26;
constexpr std::uint32_t kPreIndex = 1u << 24;
constexpr std::uint32_t kAddOffset = 1u << 23;
constexpr std::uint32_t kLoad = 1u << 20;
constexpr std::uint32_t kPc = 15;
constexpr std::uint32_t kLdrPcFromPc =
    kCondAlways | kSingleTransfer | kPreIndex | kLoad | (kPc << 16) | (kPc << 12);
constexpr std::uint32_t kOffsetMask = 0xFFF;
// The reserved slot's word, MOV r0, r0: lpc21isp writes the checksum over it.
constexpr std::uint32_t kNop = 0xE1A00000;
// B to itself: the offset field holds -2 words, since PC reads 8 bytes ahead.
constexpr std::uint32_t kBranchToSelf = 0xEAFFFFFE;
constexpr std::uint32_t kVicVectAddr = 0xFFFFF030;

// UM10120: the LPC2138's boot loader holds the top 12 KB of its 512 KB of flash, so user code
// ends at 500 KB.
constexpr std::uint32_t kUserFlashEnd = 500 * 1024;

const ElfFile& image() {
  return built_image();
}

// Where slot `slot`'s LDR pc, [pc, #+-imm] reads its target from; the PC reads 8 ahead.
std::uint32_t slot_load_address(unsigned slot) {
  const std::uint32_t insn = image().flash_word(4 * slot);
  EXPECT_EQ(insn & ~(kAddOffset | kOffsetMask), kLdrPcFromPc)
      << "slot " << slot << " is not LDR pc, [pc, #imm]: 0x" << std::hex << insn;
  const std::uint32_t offset = insn & kOffsetMask;
  const std::uint32_t pc = 4 * slot + 8;
  return (insn & kAddOffset) ? pc + offset : pc - offset;
}

std::vector<std::uint8_t> read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in) << "cannot open " << path;
  return {std::istreambuf_iterator<char>(in), {}};
}

// Data bytes of an Intel HEX file placed by address (types 00 data, 02 and 04 base).
std::vector<std::uint8_t> read_hex(const std::string& path) {
  std::ifstream in(path);
  EXPECT_TRUE(in) << "cannot open " << path;
  std::vector<std::uint8_t> out;
  std::uint32_t base = 0;
  for (std::string line; std::getline(in, line);) {
    if (line.empty() || line[0] != ':') continue;
    std::vector<std::uint8_t> rec;
    for (std::size_t i = 1; i + 1 < line.size(); i += 2) {
      rec.push_back(static_cast<std::uint8_t>(std::stoul(line.substr(i, 2), nullptr, 16)));
    }
    std::uint8_t sum = 0;
    for (auto b : rec) sum = static_cast<std::uint8_t>(sum + b);
    EXPECT_EQ(sum, 0) << "bad checksum: " << line;
    const unsigned count = rec[0], type = rec[3];
    const std::uint32_t addr = (rec[1] << 8) | rec[2];
    const auto payload = rec.begin() + 4;
    if (type == 0x00) {
      if (out.size() < base + addr + count) out.resize(base + addr + count, 0xFF);
      std::copy(payload, payload + count, out.begin() + base + addr);
    } else if (type == 0x02) {
      base = ((payload[0] << 8) | payload[1]) << 4;
    } else if (type == 0x04) {
      base = ((payload[0] << 8) | payload[1]) << 16;
    }
  }
  return out;
}

TEST(VectorTable, SlotsLoadTheirHandlersThroughTheAddressTable) {
  struct Slot {
    unsigned index;
    std::uint32_t entry;  // Reset_Addr, Undef_Addr, SWI_Addr, PAbt_Addr, DAbt_Addr, FIQ_Addr
    const char* handler;
  };
  // Prefetch and data aborts share the undefined-instruction stub; IRQ_Addr at 0x34 sits
  // between DAbt_Addr and FIQ_Addr.
  const Slot slots[] = {{0, 0x20, "Reset_Handler"}, {1, 0x24, "UNDEF_Routine"},
                        {2, 0x28, "SWI_Routine"},   {3, 0x2C, "UNDEF_Routine"},
                        {4, 0x30, "UNDEF_Routine"}, {7, 0x38, "FIQ_Routine"}};
  for (const auto& s : slots) {
    const std::uint32_t from = slot_load_address(s.index);
    EXPECT_EQ(from, s.entry) << "slot " << s.index << " reads the wrong table entry";
    EXPECT_EQ(image().flash_word(from), address_of(s.handler)) << "slot " << s.index;
  }
}

TEST(VectorTable, ReservedSlotIrqSlotAndPadding) {
  EXPECT_EQ(image().flash_word(0x14), kNop);
  EXPECT_EQ(slot_load_address(6), kVicVectAddr);  // IRQ: the VIC supplies the handler
  EXPECT_EQ(image().flash_word(0x34), address_of("IRQ_Routine"));  // IRQ_Addr, unused
  EXPECT_EQ(image().flash_word(0x3C), 0u);
}

TEST(VectorTable, IsTheEntryPointAtAddressZero) {
  EXPECT_EQ(image().entry(), 0u);
  EXPECT_EQ(address_of("_startup"), 0u);
  EXPECT_EQ(address_of("_vectors"), 0u);
  EXPECT_EQ(address_of("Reset_Handler"), 0x40u);  // code starts right after the 64 bytes
}

TEST(MemoryMap, InitialisedDataAtItsFixedAddressesWithItsImageAfterTheCode) {
  EXPECT_EQ(address_of("_data"), 0x40000120u);
  EXPECT_EQ(address_of("txtwidth"), 0x40000120u);
  EXPECT_EQ(address_of("height"), 0x40000124u);
  EXPECT_EQ(address_of("width"), 0x40000128u);
  EXPECT_EQ(address_of("_edata"), 0x4000012Cu);
  // The flash copy that start-up moves to RAM: mask width, picture height, picture width.
  const std::uint32_t etext = address_of("_etext");
  EXPECT_EQ(image().flash_word(etext), 400u);
  EXPECT_EQ(image().flash_word(etext + 4), 102u);
  EXPECT_EQ(image().flash_word(etext + 8), 150u);
}

TEST(MemoryMap, ZeroedDataAndStacksAtTheirFixedAddresses) {
  EXPECT_EQ(address_of("_bss_start"), 0x4000012Cu);
  EXPECT_EQ(address_of("avg"), 0x4000012Cu);
  EXPECT_EQ(address_of("dispram"), 0x4000012Eu);
  EXPECT_EQ(address_of("pal"), 0x40001AD4u);
  EXPECT_EQ(address_of("_bss_end"), 0x40001CD4u);
  EXPECT_EQ(address_of("_stack_end"), 0x40001FDCu);
  const char* sizes[] = {"UND_STACK_SIZE", "ABT_STACK_SIZE", "FIQ_STACK_SIZE", "IRQ_STACK_SIZE",
                         "SVC_STACK_SIZE"};
  for (const char* s : sizes) EXPECT_EQ(address_of(s), 4u) << s;
  // The main stack is what lies between the zeroed data and the exception stacks.
  EXPECT_GE(address_of("_stack_end") - 5 * 4 - address_of("_bss_end"), 756u);
}

TEST(Contents, KeepsEveryEntryPointTheEmulatorCalls) {
  const std::uint32_t etext = address_of("_etext");
  for (const char* name :
       {"main", "effectPlasma", "effectCake", "effectFall", "effectRoundWave", "effectFftAndWave",
        "showcase_frame", "processor_init", "io_init", "lcd_init", "calibratead", "initpal",
        "senddisp", "sendlcd", "rotoblit", "isin", "icos", "fix_fftr"}) {
    const auto s = image().symbol(name);
    ASSERT_TRUE(s) << name << " is not in the image";
    EXPECT_EQ(s->type, 2u) << name << " is not a function";  // STT_FUNC
    EXPECT_GT(s->size, 0u) << name;
    EXPECT_LT(s->value, etext) << name << " is not in flash";
  }
}

TEST(Contents, KeepsEveryAssetWithItsSizeInFlash) {
  struct Asset {
    const char* name;
    std::uint32_t bytes;
  };
  const Asset assets[] = {{"header_data", 150 * 102},
                          {"header_data_cmap", 256 * 3},
                          {"txtdata", 400 * 10},
                          {"sintab", 257 * 2}};
  const std::uint32_t etext = address_of("_etext");
  for (const auto& a : assets) {
    const auto s = image().symbol(a.name);
    ASSERT_TRUE(s) << a.name << " is not in the image";
    EXPECT_EQ(s->size, a.bytes) << a.name;
    EXPECT_LE(s->value + s->size, etext) << a.name << " is not in flash";
  }
}

TEST(Contents, MainHaltsInABranchToItself) {
  const auto m = image().symbol("main");
  ASSERT_TRUE(m);
  bool halts = false;
  for (std::uint32_t a = m->value; a < m->value + m->size; a += 4) {
    halts = halts || image().flash_word(a) == kBranchToSelf;
  }
  EXPECT_TRUE(halts) << "main has no one-instruction loop";
}

// senddisp's waits for the end of a word: LDRB rt, [rn, #4] (S0SPSR), TST rt, #0x80 (SPIF),
// BEQ back to the load. The frame's words go out of one loop whose poll starts a 16-byte line of
// the flash accelerator and to which every branch back goes: the line then stays in the branch
// trail buffer and no pass waits for flash. The second poll is the last word's wait.
TEST(Timing, TheFrameLoopBranchesBackOnlyToItsPollAtTheStartOfALine) {
  constexpr std::uint32_t kLdrbImmediateMask = 0x0FF00FFF, kLdrbStatus = 0x05D00004;
  constexpr std::uint32_t kTstMask = 0x0FF0FFFF, kTstSpif = 0x03100080;
  constexpr std::uint32_t kBranchMask = 0x0F000000, kBranch = 0x0A000000;
  constexpr std::uint32_t kLine = 16;
  const auto f = image().symbol("senddisp");
  ASSERT_TRUE(f);
  const auto target = [](std::uint32_t at, std::uint32_t branch) {
    return at + 8 + static_cast<std::uint32_t>(static_cast<std::int32_t>(branch << 8) >> 6);
  };
  std::vector<std::uint32_t> polls;
  for (std::uint32_t a = f->value; a + 8 < f->value + f->size; a += 4) {
    const std::uint32_t load = image().flash_word(a), test = image().flash_word(a + 4);
    const std::uint32_t branch = image().flash_word(a + 8);
    if ((load & kLdrbImmediateMask) != kLdrbStatus || (test & kTstMask) != kTstSpif) continue;
    ASSERT_EQ(branch & kBranchMask, kBranch) << std::hex << a;
    EXPECT_EQ(target(a + 8, branch), a) << std::hex << "the poll at 0x" << a << " is not a loop";
    polls.push_back(a);
  }
  ASSERT_EQ(polls.size(), 2u);
  const std::uint32_t loop = polls[0];
  EXPECT_EQ(loop % kLine, 0u) << std::hex << "the frame loop's poll at 0x" << loop;
  int back = 0;
  for (std::uint32_t a = loop + 12; a < polls[1]; a += 4) {
    const std::uint32_t w = image().flash_word(a);
    if ((w & kBranchMask) != kBranch || target(a, w) > a) continue;
    EXPECT_EQ(target(a, w), loop) << std::hex << "the branch back at 0x" << a;
    ++back;
  }
  EXPECT_EQ(back, 2);  // from the pair's first two words and from its refill
}

// The budget is the linker script's FLASH_BUDGET, read from the image: it is named nowhere else.
TEST(FlashFiles, FitTheBudgetAndHoldExactlyTheImage) {
  const std::uint32_t budget = address_of("FLASH_BUDGET");
  EXPECT_LE(budget, kUserFlashEnd) << "the budget reaches into the boot loader's flash";
  const std::uint32_t used = address_of("_etext") + (address_of("_edata") - address_of("_data"));
  EXPECT_LE(used, budget);
  ASSERT_EQ(image().flash().size(), used);

  const std::string dir = LPCDEMO_IMAGE_DIR;
  EXPECT_EQ(read_file(dir + "/lpcdemo.bin"), image().flash());
  EXPECT_EQ(read_hex(dir + "/lpcdemo.hex"), image().flash());
}

}  // namespace
}  // namespace test
