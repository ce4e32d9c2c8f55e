// PLL feed and lock rules, the memory accelerator, pins and the access checks.
#include <gtest/gtest.h>

#include "board_helpers.h"

namespace {

using namespace lpc2138;
using simtest::BoardTest;

TEST_F(BoardTest, FirmwareBringUpIsCleanAndGives36MHz) {
  clock_up();
  io_up();
  EXPECT_TRUE(board.findings().empty()) << all_findings();
  EXPECT_DOUBLE_EQ(board.cclk_hz(), 36e6);  // M = 3 on the 12 MHz crystal
  EXPECT_DOUBLE_EQ(board.pclk_hz(), 36e6);
  EXPECT_EQ(board.mamcr(), 2);
  EXPECT_EQ(board.mamtim(), 3);
  EXPECT_EQ(board.memmap(), 1);
  // PLLSTAT: MSEL 2, PSEL 2 (0x42), PLLE, PLLC and PLOCK set.
  EXPECT_EQ(r(PLLSTAT), 0x42u | 0x100 | 0x200 | 0x400);
}

TEST_F(BoardTest, PllValuesWaitForTheFeed) {
  w(PLLCFG, 0x42);
  w(PLLCON, 1);
  EXPECT_EQ(r(PLLCON), 1u);   // the written value reads back ...
  EXPECT_EQ(r(PLLSTAT), 0u);  // ... but is not in effect
  EXPECT_DOUBLE_EQ(board.cclk_hz(), 12e6);
  EXPECT_EQ(findings_with("PLOCK will never set"), 1);
  feed();
  EXPECT_EQ(r(PLLSTAT), 0x542u);           // without a clock locked by the first poll
  EXPECT_DOUBLE_EQ(board.pclk_hz(), 3e6);  // reset VPBDIV: a quarter of the crystal
}

TEST_F(BoardTest, AnApbAccessBetweenTheFeedWritesAbortsIt) {
  w(PLLCFG, 0x42);
  w(PLLCON, 1);
  w(PLLFEED, 0xAA);
  r(VPBDIV);
  w(PLLFEED, 0x55);
  EXPECT_EQ(findings_with("feed aborted by an access to VPBDIV"), 1) << all_findings();
  EXPECT_EQ(findings_with("0x55 without 0xAA"), 1);
  EXPECT_EQ(r(PLLSTAT) & 0x100, 0u);
  // Fast GPIO is on the local bus, not the APB: it does not break a feed.
  w(SCS, 1);
  w(PLLFEED, 0xAA);
  w(FIO0SET, 0x200);
  w(PLLFEED, 0x55);
  EXPECT_EQ(r(PLLSTAT) & 0x100, 0x100u);
  EXPECT_EQ(findings_with("aborted"), 1);
}

TEST_F(BoardTest, ConnectingBeforeLockIsAFinding) {
  w(PLLCFG, 0x42);
  w(PLLCON, 3);
  feed();
  EXPECT_EQ(findings_with("connected before it locked"), 1) << all_findings();
}

TEST_F(BoardTest, LockTakes100MicrosecondsOfCrystalWithAClock) {
  board.enable_clock();
  w(PLLCFG, 0x42);
  w(PLLCON, 1);
  feed();
  board.advance(1199);  // 1200 crystal clocks = 100 us; CCLK is the crystal before connection
  EXPECT_EQ(r(PLLSTAT) & 0x400, 0u);
  board.advance(1);
  EXPECT_EQ(r(PLLSTAT) & 0x400, 0x400u);
  w(PLLCON, 3);
  feed();
  EXPECT_TRUE(board.findings().empty()) << all_findings();
  board.advance(3);  // one crystal clock at M = 3, counted before the rate changes
  // A new configuration loses lock again.
  w(PLLCFG, 0x23);  // M = 4, P = 2: CCO 192 MHz, CCLK 48 MHz
  feed();
  EXPECT_EQ(r(PLLSTAT) & 0x400, 0u);
  EXPECT_EQ(findings_with("connected before it locked"), 1);  // still connected
  board.advance(4799);  // 1200 crystal clocks from the feed at M = 4
  EXPECT_EQ(r(PLLSTAT) & 0x400, 0u);
  board.advance(1);
  EXPECT_EQ(r(PLLSTAT) & 0x400, 0x400u);
}

TEST_F(BoardTest, OscillatorAndProcessorClockRangesAreChecked) {
  w(PLLCFG, 0x02);  // M = 3, P = 1: CCO 72 MHz, below 156
  w(PLLCON, 1);
  feed();
  EXPECT_EQ(findings_with("CCO 72"), 1) << all_findings();
  w(PLLCFG, 0x25);  // M = 6, P = 2: CCO 288 MHz fine, CCLK 72 MHz above 60
  feed();
  EXPECT_EQ(findings_with("CCLK 72"), 1) << all_findings();
  EXPECT_EQ(findings_with("CCO"), 1);
}

// MEMMAP bits 1:0: 0 boot loader, 1 user flash, 2 user RAM (the vectors read from RAM); 3 is
// reserved, and so are bits 7:2, which must be written as zeros.
TEST_F(BoardTest, MemoryMapModesAreFineAndOnlyReservedValuesAreFindings) {
  struct Case {
    std::uint32_t value;
    bool reserved;
  };
  for (const Case c : {Case{2, false}, Case{0, false}, Case{1, false}, Case{3, true},
                       Case{0x06, true}, Case{0x41, true}, Case{0x80, true}}) {
    const std::size_t before = board.findings().size();
    w(MEMMAP, c.value);
    EXPECT_EQ(board.findings().size() - before, c.reserved ? 1u : 0u)
        << "MEMMAP " << c.value << "\n"
        << all_findings();
    if (!c.reserved) {
      EXPECT_EQ(board.memmap(), c.value);
      EXPECT_EQ(r(MEMMAP), c.value);
    }
  }
  EXPECT_EQ(findings_with("reserved mapping"), 4) << all_findings();
}

TEST_F(BoardTest, AcceleratorTimingRules) {
  w(MAMCR, 2);
  w(MAMTIM, 3);
  EXPECT_EQ(findings_with("changed while the accelerator is on"), 1);
  w(MAMCR, 0);
  w(MAMTIM, 0);
  EXPECT_EQ(findings_with("reserved value"), 1);
  w(MAMTIM, 1);
  w(MAMCR, 2);
  EXPECT_EQ(board.findings().size(), 2u) << all_findings();  // one fetch clock is fine at 12 MHz
  w(PLLCFG, 0x42);
  w(PLLCON, 1);
  feed();
  r(PLLSTAT);
  w(PLLCON, 3);
  feed();
  EXPECT_EQ(findings_with("too short at CCLK 36"), 1) << all_findings();
}

TEST_F(BoardTest, LcdLinesFollowTheFastGpioOutputs) {
  w(FIO0DIR, 0x180);
  w(FIO0CLR, 0x100);
  EXPECT_FALSE(board.lcd().in_reset());  // legacy GPIO mode: fast registers drive nothing
  EXPECT_EQ(findings_with("SCS.GPIO0M = 0"), 1);
  w(SCS, 1);
  EXPECT_TRUE(board.lcd().in_reset());
  w(FIO0MASK, 0x100);
  w(FIO0SET, 0x100);  // masked: no effect
  EXPECT_TRUE(board.lcd().in_reset());
  // Masked pins read as 0 whatever their level: P0.9, undriven and so high, too.
  w(FIO0MASK, 0x300);
  EXPECT_EQ(r(FIO0PIN), 0xFFFFFC7Fu);
  w(FIO0MASK, 0);
  w(FIO0SET, 0x100);
  EXPECT_FALSE(board.lcd().in_reset());
  w(FIO0DIR, 0x080);  // P0.8 an input again: the line floats high
  w(FIO0CLR, 0x100);
  EXPECT_FALSE(board.lcd().in_reset());
  // FIO0PIN: the driven P0.7 low, the undriven pins high.
  w(FIO0CLR, 0x080);
  EXPECT_EQ(r(FIO0PIN), 0xFFFFFF7Fu);
  // P0.20 and P0.21 driven low: PINSEL1 gives P0.21 another function, so only P0.20 drives.
  w(FIO0DIR, 0x300080);
  w(FIO0CLR, 0x300000);
  w(PINSEL1, 1u << 10);
  EXPECT_EQ(r(FIO0PIN), 0xFFEFFF7Fu);
}

TEST_F(BoardTest, WrongWidthsUnknownAddressesAndDirectionsAreFindings) {
  board.write(S0SPDR.addr, 32, 0x12C);
  EXPECT_EQ(findings_with("S0SPDR 0x012C: write of 32 bits on a 16-bit register"), 1)
      << all_findings();
  board.read(S0SPCR.addr, 8);
  EXPECT_EQ(findings_with("read of 8 bits on a 16-bit register"), 1);
  board.write(0xE0020010, 32, 5);
  EXPECT_EQ(findings_with("0xE0020010: no register"), 1) << all_findings();
  r(PLLFEED);
  EXPECT_EQ(findings_with("write-only register read"), 1);
  w(S0SPSR, 0);
  EXPECT_EQ(findings_with("read-only register written"), 1);
  w(VPBDIV, 3);
  EXPECT_EQ(findings_with("reserved divider"), 1);
  EXPECT_EQ(findings_with("MSTR = 0"), 1);  // the write still went ahead, to a slave port
  EXPECT_EQ(board.findings().size(), 7u) << all_findings();
}

TEST_F(BoardTest, ARunawayFaultIsListedBoundedly) {
  for (int i = 0; i < 5000; ++i) w(PLLFEED, 0x33);
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
  EXPECT_EQ(sim::Board::register_width(PLLSTAT.addr), 16u);
  EXPECT_EQ(sim::Board::register_width(S0SPSR.addr), 8u);
  EXPECT_EQ(sim::Board::register_width(VICVectAddr.addr), 32u);
  // Every byte of each block the board models: 23 registers, no byte offsets or neighbours.
  constexpr std::uint32_t kBlockBytes = 0x200;  // past SCS, the last system control register
  unsigned found = 0;
  for (std::uint32_t base :
       {MAMCR.addr, PINSEL0.addr, S0SPCR.addr, AD0CR.addr, FIO_BASE, VIC_BASE}) {
    for (std::uint32_t a = base; a < base + kBlockBytes; ++a)
      found += sim::Board::register_width(a) != 0;
  }
  EXPECT_EQ(found, 23u);
}

TEST(BoardInstances, TwoBoardsKeepSeparateState) {
  sim::Board a(sim::make_audio("silence"));
  sim::Board b(sim::make_audio("silence"));
  a.write(PLLFEED.addr, 8, 0x33);
  EXPECT_EQ(a.findings().size(), 1u);
  EXPECT_TRUE(b.findings().empty());
}

}  // namespace
