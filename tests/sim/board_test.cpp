// The board itself: dispatch through the peripherals' register tables, width checks, unknown
// addresses, each register's reset value and direction, reset(), and the findings cap.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "board_helpers.h"
#include "sim/audio.h"

namespace {

namespace chip = lpc2138;
using simtest::BoardTest;

TEST_F(BoardTest, WrongWidthsUnknownAddressesAndDirectionsAreFindings) {
  board.write(chip::S0SPDR.addr, 32, 0x12C);
  EXPECT_EQ(findings_with("S0SPDR 0x012C: write of 32 bits on a 16-bit register"), 1)
      << all_findings();
  board.read(chip::S0SPCR.addr, 8);
  EXPECT_EQ(findings_with("read of 8 bits on a 16-bit register"), 1);
  board.write(0xE0020010, 32, 5);
  EXPECT_EQ(findings_with("0xE0020010: no register"), 1) << all_findings();
  board.write(0xE0020010, 32, 6);  // once per address, and each address on its own
  board.write(0xE0020014, 32, 5);
  EXPECT_EQ(findings_with("0xE0020014: no register"), 1) << all_findings();
  r(chip::PLLFEED);
  EXPECT_EQ(findings_with("write-only register read"), 1);
  w(chip::S0SPSR, 0);
  EXPECT_EQ(findings_with("read-only register written"), 1);
  w(chip::VPBDIV, 3);
  EXPECT_EQ(findings_with("reserved divider"), 1);
  EXPECT_EQ(findings_with("MSTR = 0"), 1);  // the write still went ahead, to a slave port
  EXPECT_EQ(board.findings().size(), 8u) << all_findings();
}

TEST_F(BoardTest, ARunawayFaultIsListedBoundedly) {
  for (int i = 0; i < 5000; ++i) w(chip::PLLFEED, 0x33);
  ASSERT_EQ(board.findings().size(), 1001u);
  EXPECT_EQ(board.findings().back().message, "further findings not listed");
  board.report({"from the runner", 0});  // past the cap, still counted but not listed
  EXPECT_EQ(board.findings().size(), 1001u);
}

TEST(BoardMap, AnswersTheModelledRanges) {
  EXPECT_TRUE(sim::Board::is_peripheral(0xE0020008));
  EXPECT_TRUE(sim::Board::is_peripheral(0xE01FC1A0));
  EXPECT_TRUE(sim::Board::is_peripheral(0x3FFFC018));
  EXPECT_TRUE(sim::Board::is_peripheral(0xFFFFF030));
  EXPECT_FALSE(sim::Board::is_peripheral(0x40000000));  // RAM
  EXPECT_FALSE(sim::Board::is_peripheral(0x00000000));  // flash
  EXPECT_FALSE(sim::Board::is_peripheral(0xE0200000));  // past the APB
  EXPECT_FALSE(sim::Board::is_peripheral(0x3FFFBFFC));
}

TEST(BoardMap, OnlyWholeRegisterAddressesResolve) {
  EXPECT_EQ(sim::Board::register_width(chip::PLLSTAT.addr), 16u);
  EXPECT_EQ(sim::Board::register_width(chip::S0SPSR.addr), 8u);
  EXPECT_EQ(sim::Board::register_width(chip::VICVectAddr.addr), 32u);
  // Every byte of each block the board models: 23 registers, no byte offsets or neighbours.
  constexpr std::uint32_t kBlockBytes = 0x200;  // past SCS, the last system control register
  unsigned found = 0;
  for (std::uint32_t base : {chip::MAMCR.addr, chip::PINSEL0.addr, chip::S0SPCR.addr,
                             chip::AD0CR.addr, chip::FIO_BASE, chip::VIC_BASE}) {
    for (std::uint32_t a = base; a < base + kBlockBytes; ++a)
      found += sim::Board::register_width(a) != 0;
  }
  EXPECT_EQ(found, 23u);
}

TEST(BoardInstances, TwoBoardsKeepSeparateState) {
  sim::Board a(sim::make_audio("silence"));
  sim::Board b(sim::make_audio("silence"));
  a.write(chip::PLLFEED.addr, 8, 0x33);
  EXPECT_EQ(a.findings().size(), 1u);
  EXPECT_TRUE(b.findings().empty());
}

enum class Dir { RW, RO, WO };

struct RegisterCase {
  const char* name;
  std::uint32_t addr;
  unsigned width;
  Dir dir;
  std::optional<std::uint32_t> reset;  // as a read gives it; none where pins decide it
};

// Direction and reset value of each modelled register as the LPC213x user manual lists them
// (system control, pin connect block, fast GPIO, SPI0, ADC0 and VIC chapters). AD0GDR is
// left out: the board refuses writes to it as misuse. PINSEL1's value is not checked here.
const RegisterCase kManual[] = {
    {"MAMCR", 0xE01FC000, 8, Dir::RW, 0x00},
    {"MAMTIM", 0xE01FC004, 8, Dir::RW, 0x07},
    {"MEMMAP", 0xE01FC040, 8, Dir::RW, 0x00},
    {"PLLCON", 0xE01FC080, 8, Dir::RW, 0x00},
    {"PLLCFG", 0xE01FC084, 8, Dir::RW, 0x00},
    {"PLLSTAT", 0xE01FC088, 16, Dir::RO, 0x0000},
    {"PLLFEED", 0xE01FC08C, 8, Dir::WO, std::nullopt},
    {"VPBDIV", 0xE01FC100, 8, Dir::RW, 0x00},
    {"SCS", 0xE01FC1A0, 32, Dir::RW, 0x00000000},
    {"PINSEL0", 0xE002C000, 32, Dir::RW, 0x00000000},
    {"PINSEL1", 0xE002C004, 32, Dir::RW, std::nullopt},
    {"FIO0DIR", 0x3FFFC000, 32, Dir::RW, 0x00000000},
    {"FIO0MASK", 0x3FFFC010, 32, Dir::RW, 0x00000000},
    {"FIO0PIN", 0x3FFFC014, 32, Dir::RW, std::nullopt},
    {"FIO0SET", 0x3FFFC018, 32, Dir::RW, 0x00000000},
    {"FIO0CLR", 0x3FFFC01C, 32, Dir::WO, std::nullopt},
    {"S0SPCR", 0xE0020000, 16, Dir::RW, 0x0000},
    {"S0SPSR", 0xE0020004, 8, Dir::RO, 0x00},
    {"S0SPDR", 0xE0020008, 16, Dir::RW, 0x0000},
    {"S0SPCCR", 0xE002000C, 8, Dir::RW, 0x00},
    {"AD0CR", 0xE0034000, 32, Dir::RW, 0x00000001},
    {"VICVectAddr", 0xFFFFF030, 32, Dir::RW, 0x00000000},
};

std::size_t count_with(const sim::Board& b, const std::string& text) {
  std::size_t n = 0;
  for (const auto& f : b.findings()) n += f.message.find(text) != std::string::npos;
  return n;
}

TEST(BoardRegisters, ResetValuesAndDirectionsAreTheManuals) {
  for (const RegisterCase& c : kManual) {
    SCOPED_TRACE(c.name);
    sim::Board b(sim::make_audio("silence"));
    EXPECT_EQ(sim::Board::register_width(c.addr), c.width);
    const std::string name = std::string(c.name) + " ";
    if (c.dir == Dir::WO) {
      EXPECT_EQ(b.read(c.addr, c.width), 0u);
      ASSERT_EQ(count_with(b, ": write-only register read"), 1u);
      EXPECT_EQ(b.findings().back().message.rfind(name + "0x", 0), 0u);
      continue;
    }
    if (c.reset) {
      EXPECT_EQ(b.read(c.addr, c.width), *c.reset);
    }
    EXPECT_EQ(count_with(b, "write-only"), 0u);
    if (c.dir == Dir::RO) {
      b.write(c.addr, c.width, 0x5A);
      ASSERT_EQ(count_with(b, "read-only register written"), 1u);
      EXPECT_EQ(b.findings().back().message.rfind(name, 0), 0u) << b.findings().back().message;
      if (c.reset) {
        EXPECT_EQ(b.read(c.addr, c.width), *c.reset);
      }
    } else {
      b.write(c.addr, c.width, 0);
      EXPECT_EQ(count_with(b, "read-only"), 0u);
    }
  }
}

// All ones written: a read gives back the fields the manual defines and no more.
TEST(BoardRegisters, WritesKeepOnlyTheDefinedFields) {
  const struct {
    const char* name;
    std::uint32_t addr;
    unsigned width;
    std::uint32_t written, read;
  } cases[] = {
      {"MAMCR", 0xE01FC000, 8, 0xFF, 0x03},       // MAM_mode_control, bits 1:0
      {"MAMTIM", 0xE01FC004, 8, 0xFF, 0x07},      // MAM_fetch_cycle_timing, bits 2:0
      {"MEMMAP", 0xE01FC040, 8, 0xFF, 0x03},      // MAP, bits 1:0
      {"PLLCON", 0xE01FC080, 8, 0xFF, 0x03},      // PLLE, PLLC
      {"PLLCFG", 0xE01FC084, 8, 0xFF, 0x7F},      // MSEL 4:0, PSEL 6:5
      {"VPBDIV", 0xE01FC100, 8, 0xFE, 0x02},      // bits 1:0
      {"VPBDIV", 0xE01FC100, 8, 0xFF, 0x00},      // 11 is reserved: the old value stays
      {"SCS", 0xE01FC1A0, 32, 0xFFFFFFFF, 0x03},  // GPIO0M, GPIO1M
      {"PINSEL0", 0xE002C000, 32, 0xFFFFFFFF, 0xFFFFFFFF},
      {"PINSEL1", 0xE002C004, 32, 0xFFFFFFFF, 0xFFFFFFFF},
      {"FIO0DIR", 0x3FFFC000, 32, 0xFFFFFFFF, 0xFFFFFFFF},
      {"FIO0MASK", 0x3FFFC010, 32, 0xFFFFFFFF, 0xFFFFFFFF},
      {"FIO0SET", 0x3FFFC018, 32, 0xFFFFFFFF, 0xFFFFFFFF},
      {"S0SPCCR", 0xE002000C, 8, 0xFF, 0xFF},
      {"S0SPDR", 0xE0020008, 16, 0xFFFF, 0x0000},  // reads MISO0, which is not connected
      {"VICVectAddr", 0xFFFFF030, 32, 0xFFFFFFFF, 0x00000000},  // no interrupt in service
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Board b(sim::make_audio("silence"));
    b.write(chip::S0SPCR.addr, 16, chip::S0SPCR_MSTR);  // so that S0SPDR takes its word
    b.write(c.addr, c.width, c.written);
    EXPECT_EQ(b.read(c.addr, c.width), c.read);
  }
}

TEST_F(BoardTest, ResetRestoresEveryRegisterAndWhatTheyDrive) {
  clock_up();
  io_up();
  send(0x101);              // SPIF set and seen
  w(chip::FIO0CLR, 0x100);  // the LCD held in reset
  w(chip::S0SPDR, 0x111);   // a transfer and a conversion under way
  w(chip::AD0CR, 0x0120FF02);
  ASSERT_TRUE(board.lcd().in_reset());
  w(chip::PLLFEED, 0xAA);  // a feed half done
  board.reset();
  const std::size_t before = board.findings().size();
  for (const RegisterCase& c : kManual) {
    if (c.reset) {
      EXPECT_EQ(board.read(c.addr, c.width), *c.reset) << c.name;
    }
  }
  EXPECT_EQ(r(chip::AD0GDR), 0u);  // no result, no DONE
  EXPECT_EQ(board.cclk_hz(), 12e6);
  EXPECT_EQ(board.pclk_hz(), 3e6);
  EXPECT_EQ(board.mamcr(), 0);
  EXPECT_EQ(board.mamtim(), 7);
  EXPECT_EQ(board.memmap(), 0);
  EXPECT_FALSE(board.lcd().in_reset());  // P0.8 undriven again, pulled up
  w(chip::PLLFEED, 0x55);                // the half feed went with the reset
  EXPECT_EQ(findings_with("0x55 without 0xAA"), 1) << all_findings();
  // The reads find the fast GPIO mode off and the PLL disabled, as at power-on.
  EXPECT_EQ(findings_with("SCS.GPIO0M = 0"), 1) << all_findings();
  EXPECT_LE(board.findings().size() - before, 4u) << all_findings();
}

TEST_F(BoardTest, ARunawayLcdStreamSharesTheBoardsCap) {
  clock_up();
  io_up();
  w(chip::FIO0CLR, 0x80);  // selected, then data bytes with no command, for ever
  for (int i = 0; i < 1100; ++i) send(0x10);
  ASSERT_EQ(board.findings().size(), 1001u);
  EXPECT_EQ(board.findings()[999].message, "LCD: data byte 0x10 before any command");
  EXPECT_EQ(board.findings().back().message, "further findings not listed");
}

}  // namespace
