// PLL feed and lock rules, the memory accelerator, pins and the access checks.
#include <gtest/gtest.h>

#include <vector>

#include "board_helpers.h"

namespace {

namespace chip = lpc2138;
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
  EXPECT_EQ(r(chip::PLLSTAT), 0x42u | 0x100 | 0x200 | 0x400);
}

TEST_F(BoardTest, PllValuesWaitForTheFeed) {
  w(chip::PLLCFG, 0x42);
  w(chip::PLLCON, 1);
  EXPECT_EQ(r(chip::PLLCON), 1u);   // the written value reads back ...
  EXPECT_EQ(r(chip::PLLSTAT), 0u);  // ... but is not in effect
  EXPECT_DOUBLE_EQ(board.cclk_hz(), 12e6);
  EXPECT_EQ(findings_with("PLOCK will never set"), 1);
  feed();
  EXPECT_EQ(r(chip::PLLSTAT), 0x542u);     // without a clock locked by the first poll
  EXPECT_DOUBLE_EQ(board.pclk_hz(), 3e6);  // reset VPBDIV: a quarter of the crystal
}

TEST_F(BoardTest, AnApbAccessBetweenTheFeedWritesAbortsIt) {
  w(chip::PLLCFG, 0x42);
  w(chip::PLLCON, 1);
  w(chip::PLLFEED, 0xAA);
  r(chip::VPBDIV);
  w(chip::PLLFEED, 0x55);
  EXPECT_EQ(findings_with("feed aborted by an access to VPBDIV"), 1) << all_findings();
  EXPECT_EQ(findings_with("0x55 without 0xAA"), 1);
  EXPECT_EQ(r(chip::PLLSTAT) & 0x100, 0u);
  // Fast GPIO is on the local bus, not the APB: it does not break a feed.
  w(chip::SCS, 1);
  w(chip::PLLFEED, 0xAA);
  w(chip::FIO0SET, 0x200);
  w(chip::PLLFEED, 0x55);
  EXPECT_EQ(r(chip::PLLSTAT) & 0x100, 0x100u);
  EXPECT_EQ(findings_with("aborted"), 1);
}

TEST_F(BoardTest, ConnectingBeforeLockIsAFinding) {
  w(chip::PLLCFG, 0x42);
  w(chip::PLLCON, 3);
  feed();
  EXPECT_EQ(findings_with("connected before it locked"), 1) << all_findings();
}

TEST_F(BoardTest, LockTakes100MicrosecondsOfCrystalWithAClock) {
  board.enable_clock();
  w(chip::PLLCFG, 0x42);
  w(chip::PLLCON, 1);
  feed();
  board.advance(1199);  // 1200 crystal clocks = 100 us; CCLK is the crystal before connection
  EXPECT_EQ(r(chip::PLLSTAT) & 0x400, 0u);
  board.advance(1);
  EXPECT_EQ(r(chip::PLLSTAT) & 0x400, 0x400u);
  w(chip::PLLCON, 3);
  feed();
  EXPECT_TRUE(board.findings().empty()) << all_findings();
  board.advance(3);  // one crystal clock at M = 3, counted before the rate changes
  // A new configuration loses lock again.
  w(chip::PLLCFG, 0x23);  // M = 4, P = 2: CCO 192 MHz, CCLK 48 MHz
  feed();
  EXPECT_EQ(r(chip::PLLSTAT) & 0x400, 0u);
  EXPECT_EQ(findings_with("connected before it locked"), 1);  // still connected
  board.advance(4799);  // 1200 crystal clocks from the feed at M = 4
  EXPECT_EQ(r(chip::PLLSTAT) & 0x400, 0u);
  board.advance(1);
  EXPECT_EQ(r(chip::PLLSTAT) & 0x400, 0x400u);
}

TEST_F(BoardTest, OscillatorAndProcessorClockRangesAreChecked) {
  w(chip::PLLCFG, 0x02);  // M = 3, P = 1: CCO 72 MHz, below 156
  w(chip::PLLCON, 1);
  feed();
  EXPECT_EQ(findings_with("CCO 72"), 1) << all_findings();
  w(chip::PLLCFG, 0x25);  // M = 6, P = 2: CCO 288 MHz fine, CCLK 72 MHz above 60
  feed();
  EXPECT_EQ(findings_with("CCLK 72"), 1) << all_findings();
  EXPECT_EQ(findings_with("CCO"), 1);
  w(chip::PLLCFG, 0x24);  // M = 5, P = 2: CCLK 60 MHz and CCO 240 MHz, both at or within range
  feed();
  EXPECT_EQ(findings_with("CCLK"), 1) << all_findings();
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
    w(chip::MEMMAP, c.value);
    EXPECT_EQ(board.findings().size() - before, c.reserved ? 1u : 0u)
        << "MEMMAP " << c.value << "\n"
        << all_findings();
    if (!c.reserved) {
      EXPECT_EQ(board.memmap(), c.value);
      EXPECT_EQ(r(chip::MEMMAP), c.value);
    }
  }
  EXPECT_EQ(findings_with("reserved mapping"), 4) << all_findings();
}

TEST_F(BoardTest, AcceleratorTimingRules) {
  w(chip::MAMCR, 2);
  w(chip::MAMTIM, 3);
  EXPECT_EQ(findings_with("changed while the accelerator is on"), 1);
  w(chip::MAMCR, 0);
  w(chip::MAMTIM, 0);
  EXPECT_EQ(findings_with("reserved value"), 1);
  w(chip::MAMTIM, 1);
  w(chip::MAMCR, 2);
  EXPECT_EQ(board.findings().size(), 2u) << all_findings();  // one fetch clock is fine at 12 MHz
  w(chip::PLLCFG, 0x42);
  w(chip::PLLCON, 1);
  feed();
  r(chip::PLLSTAT);
  w(chip::PLLCON, 3);
  feed();
  EXPECT_EQ(findings_with("too short at CCLK 36"), 1) << all_findings();
}

TEST_F(BoardTest, LcdLinesFollowTheFastGpioOutputs) {
  w(chip::FIO0DIR, 0x180);
  w(chip::FIO0CLR, 0x100);
  EXPECT_FALSE(board.lcd().in_reset());  // legacy GPIO mode: fast registers drive nothing
  EXPECT_EQ(findings_with("SCS.GPIO0M = 0"), 1);
  w(chip::SCS, 1);
  EXPECT_TRUE(board.lcd().in_reset());
  w(chip::PINSEL0, 1u << 16);  // P0.8 given another function: the line floats high
  EXPECT_FALSE(board.lcd().in_reset());
  w(chip::PINSEL0, 0);
  EXPECT_TRUE(board.lcd().in_reset());
  w(chip::FIO0MASK, 0x100);
  w(chip::FIO0SET, 0x100);  // masked: no effect
  EXPECT_TRUE(board.lcd().in_reset());
  // Masked pins read as 0 whatever their level: P0.9, undriven and so high, too.
  w(chip::FIO0MASK, 0x300);
  EXPECT_EQ(r(chip::FIO0PIN), 0xFFFFFC7Fu);
  w(chip::FIO0MASK, 0);
  w(chip::FIO0SET, 0x100);
  EXPECT_FALSE(board.lcd().in_reset());
  w(chip::FIO0DIR, 0x080);  // P0.8 an input again: the line floats high
  w(chip::FIO0CLR, 0x100);
  EXPECT_FALSE(board.lcd().in_reset());
  // FIO0PIN: the driven P0.7 low, the undriven pins high.
  w(chip::FIO0CLR, 0x080);
  EXPECT_EQ(r(chip::FIO0PIN), 0xFFFFFF7Fu);
  // P0.20 and P0.21 driven low: PINSEL1 gives P0.21 another function, so only P0.20 drives.
  w(chip::FIO0DIR, 0x300080);
  w(chip::FIO0CLR, 0x300000);
  w(chip::PINSEL1, 1u << 10);
  EXPECT_EQ(r(chip::FIO0PIN), 0xFFEFFF7Fu);
  // A FIO0PIN write sets every unmasked output to its bit, the zeros as well as the ones.
  w(chip::FIO0DIR, 0x180);
  w(chip::FIO0SET, 0x180);
  w(chip::FIO0PIN, 0x080);
  EXPECT_TRUE(board.lcd().in_reset());
  EXPECT_EQ(r(chip::FIO0PIN) & 0x180, 0x080u);
}

// Wire time runs at each processor clock rate in turn: 1 ms at the crystal's 12 MHz with the
// lock wait after it, then 36,000 clocks at 36 MHz, another 1 ms.
TEST_F(BoardTest, WireTimeCountsEachStretchAtItsOwnRate) {
  struct Lines : sim::WireSink {
    void lines(double at, std::uint32_t) override { ns.push_back(at); }
    void transfer(double, std::uint16_t, unsigned, double) override {}
    void conversion(double, double) override {}
    std::vector<double> ns;
  } sink;
  board.enable_clock();
  board.add_wire_sink(sink);
  board.advance(12'000);
  w(chip::PLLCFG, 0x42);
  w(chip::PLLCON, 1);
  feed();
  while (!(r(chip::PLLSTAT) & 0x400)) board.advance(10);
  const double at_12mhz_ns = static_cast<double>(board.cclk_cycles()) * 1e9 / 12e6;
  w(chip::PLLCON, 3);
  feed();
  board.advance(36'000);
  w(chip::SCS, 1);
  w(chip::FIO0DIR, 0x200);  // P0.9 driven low from its latch
  ASSERT_EQ(sink.ns.size(), 1u);
  EXPECT_NEAR(sink.ns[0], at_12mhz_ns + 1e6, 1e-3);
}

}  // namespace
