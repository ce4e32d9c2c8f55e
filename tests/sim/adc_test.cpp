// ADC0: one conversion per START, DONE and RESULT semantics, timing and misuse.
#include <gtest/gtest.h>

#include "board_helpers.h"

namespace {

namespace chip = lpc2138;

constexpr std::uint32_t kDone = 1u << 31;
constexpr std::uint32_t kStart = 1u << 24;
constexpr std::uint32_t kConfig = 0x0020FF02;  // AD0.1, CLKDIV 255, powered

class AdcTest : public simtest::BoardTest {
 protected:
  AdcTest() : BoardTest({100, 1023, 0, 700}) {}

  // getad's register traffic: start, poll DONE, read once more.
  std::uint32_t convert() {
    w(chip::AD0CR, r(chip::AD0CR) | kStart);
    while (!(r(chip::AD0GDR) & kDone)) board.advance(64);
    return (r(chip::AD0GDR) >> 6) & 0x3FF;
  }
};

TEST_F(AdcTest, FirmwarePatternReadsEachCodeWithoutFindings) {
  clock_up();
  io_up();
  EXPECT_EQ(convert(), 100u);
  EXPECT_EQ(convert(), 1023u);
  EXPECT_EQ(convert(), 0u);
  EXPECT_EQ(board.conversions(), 3u);
  EXPECT_TRUE(board.findings().empty()) << all_findings();
}

TEST_F(AdcTest, DoneCarriesResultAndChannelAndClearsOnRead) {
  clock_up();
  io_up();
  w(chip::AD0CR, kConfig | kStart);
  EXPECT_EQ(board.conversion_done_at(), std::nullopt);  // no clock: done by the first poll
  const std::uint32_t first = r(chip::AD0GDR);
  EXPECT_EQ(first, kDone | (1u << 24) | (100u << 6));  // CHN 1
  const std::uint32_t again = r(chip::AD0GDR);
  EXPECT_EQ(again, (1u << 24) | (100u << 6));  // DONE gone, RESULT kept
}

TEST_F(AdcTest, ConversionTakesElevenDividedClocks) {
  clock_up();
  io_up();
  board.enable_clock();
  w(chip::AD0CR, kConfig | kStart);
  board.advance(11 * 256 - 1);  // PCLK = CCLK
  EXPECT_EQ(r(chip::AD0GDR) & kDone, 0u);
  board.advance(1);
  EXPECT_EQ(r(chip::AD0GDR) & kDone, kDone);
  // CLKDIV 7 at PCLK = CCLK / 2: 11 x 8 x 2 = 176 processor clocks.
  w(chip::VPBDIV, 2);
  w(chip::AD0CR, 0x00200702 | kStart);
  EXPECT_EQ(board.conversion_done_at(), board.cclk_cycles() + 176);
  board.advance(175);
  EXPECT_EQ(r(chip::AD0GDR) & kDone, 0u);
  board.advance(1);
  EXPECT_EQ(r(chip::AD0GDR), kDone | (1u << 24) | (1023u << 6));
  // CLKS 3 (7 bits, 8 clocks): 8 x 8 x 2 = 128 clocks; RESULT keeps its scale, its three
  // lowest bits zero (the next code is 0, then 700 = 0x2BC).
  r(chip::AD0GDR);
  w(chip::AD0CR, 0x00260702 | kStart);
  board.advance(128);
  r(chip::AD0GDR);
  w(chip::AD0CR, 0x00260702 | kStart);
  EXPECT_EQ(board.conversion_done_at(), board.cclk_cycles() + 128);
  board.advance(128);
  EXPECT_EQ(r(chip::AD0GDR), kDone | (1u << 24) | (0x2B8u << 6));
  EXPECT_TRUE(board.findings().empty()) << all_findings();
}

TEST_F(AdcTest, StartingWhileRunningAndLosingAResultAreFindings) {
  clock_up();
  io_up();
  board.enable_clock();
  w(chip::AD0CR, kConfig | kStart);
  board.advance(100);
  w(chip::AD0CR, kConfig | kStart);
  EXPECT_EQ(findings_with("while one is running"), 1) << all_findings();
  board.advance(2816);
  w(chip::AD0CR, kConfig);  // clears DONE before anyone saw it
  EXPECT_EQ(findings_with("result lost"), 1) << all_findings();
  EXPECT_EQ(r(chip::AD0GDR) & kDone, 0u);
  EXPECT_EQ(findings_with("DONE of its conversion was never seen"), 1);
  EXPECT_EQ(board.conversions(), 2u);
}

TEST_F(AdcTest, MisuseOfTheControlRegisterIsReported) {
  clock_up();
  io_up();
  w(chip::AD0CR, 0x0000FF02 | kStart);  // PDN = 0
  EXPECT_EQ(findings_with("PDN = 0"), 1);
  EXPECT_EQ(board.conversions(), 0u);
  w(chip::AD0CR, 0x00200006 | kStart);  // two channels, A/D clock 36 MHz
  EXPECT_EQ(findings_with("exactly one channel"), 1);
  EXPECT_EQ(findings_with("A/D clock 36"), 1) << all_findings();
  r(chip::AD0GDR);
  w(chip::AD0CR, 0x0020FF01 | kStart);  // AD0.0: nothing connected
  EXPECT_EQ(findings_with("AD0.0 has no signal"), 1);
  EXPECT_EQ(r(chip::AD0GDR), kDone);  // code 0 on channel 0
}

TEST_F(AdcTest, PollingWithNothingRunningIsReportedOnce) {
  clock_up();
  io_up();
  r(chip::AD0GDR);
  EXPECT_EQ(findings_with("read before any conversion finished"), 1);
  convert();
  EXPECT_EQ(board.findings().size(), 1u);  // the result read after DONE is fine
  r(chip::AD0GDR);
  r(chip::AD0GDR);
  EXPECT_EQ(findings_with("DONE will not set"), 1) << all_findings();
}

// 11 A/D clocks less one per CLKS step, each CLKDIV + 1 peripheral clocks.
TEST(AdcTiming, ConversionClocksFromAd0cr) {
  EXPECT_EQ(sim::Board::conversion_pclks(kConfig), 2816u);
  EXPECT_EQ(sim::Board::conversion_pclks(kConfig | kStart), 2816u);
  EXPECT_EQ(sim::Board::conversion_pclks(0x0022FF02), 2560u);  // CLKS = 1: 10 clocks
  EXPECT_EQ(sim::Board::conversion_pclks(0x000E0002), 4u);     // CLKS = 7, CLKDIV 0
  EXPECT_EQ(sim::Board::conversion_pclks(0x00200302), 44u);    // CLKDIV 3
}

}  // namespace
