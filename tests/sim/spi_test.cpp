// SPI0 towards the LCD: transfer timing, SPIF and WCOL, and what the LCD gets to see.
#include <gtest/gtest.h>

#include "board_helpers.h"

namespace {

namespace chip = lpc2138;
using simtest::BoardTest;
using Words = std::vector<std::uint16_t>;

constexpr std::uint32_t kSpif = 0x80;
constexpr std::uint32_t kWcol = 0x40;

TEST_F(BoardTest, WordsReachTheLcdWithTheirSendlcdValues) {
  clock_up();
  io_up();
  send(0x12C);
  send(0x050);
  send(0x000);
  send(0x0FF);
  EXPECT_EQ(board.lcd().words(), (Words{0x12C, 0x050, 0x000, 0x0FF}));
  EXPECT_TRUE(board.findings().empty()) << all_findings();
}

TEST_F(BoardTest, TransferTakesNineBitsAtTheDividedClock) {
  clock_up();
  io_up();
  board.enable_clock();
  w(chip::FIO0CLR, 0x80);
  w(chip::S0SPDR, 0x02C);
  board.advance(71);  // PCLK = CCLK; 9 bits x 8 = 72 clocks
  EXPECT_EQ(r(chip::S0SPSR), 0u);
  EXPECT_TRUE(board.lcd().words().empty());
  board.advance(1);
  EXPECT_EQ(r(chip::S0SPSR), kSpif);
  EXPECT_EQ(board.lcd().words(), Words{0x12C});
  // A slower divider and PCLK = CCLK / 4: 9 x 16 x 4 = 576 processor clocks.
  w(chip::S0SPCCR, 16);
  w(chip::VPBDIV, 0);
  w(chip::S0SPDR, 0x150);
  board.advance(575);
  EXPECT_EQ(r(chip::S0SPSR), 0u);
  board.advance(1);
  EXPECT_EQ(r(chip::S0SPSR), kSpif);
  EXPECT_TRUE(board.findings().empty()) << all_findings();
}

// On the wire each bit lasts S0SPCCR peripheral clocks: 8 at PCLK 3 MHz (the reset divider,
// a quarter of the crystal's 12 MHz) is 2666.7 ns; at PCLK 36 MHz, 222.2 ns.
TEST_F(BoardTest, WireBitsLastTheDividerInPeripheralClocks) {
  struct Transfers : sim::WireSink {
    void lines(double, std::uint32_t) override {}
    void transfer(double, std::uint16_t, unsigned n, double ns) override {
      bits = n;
      bit_ns = ns;
    }
    void conversion(double, double) override {}
    unsigned bits = 0;
    double bit_ns = 0;
  } sink;
  board.add_wire_sink(sink);
  io_up();
  send(0x12C);
  EXPECT_EQ(sink.bits, 9u);
  EXPECT_NEAR(sink.bit_ns, 8e9 / 3e6, 1e-6);
  clock_up();
  send(0x12C);
  EXPECT_NEAR(sink.bit_ns, 8e9 / 36e6, 1e-6);
}

TEST_F(BoardTest, TransferEndIsKnownToTheProcessorClock) {
  clock_up();
  io_up();
  board.enable_clock();
  w(chip::VPBDIV, 0);  // PCLK = CCLK / 4
  board.advance(3);    // already three quarters into the next peripheral clock
  w(chip::FIO0CLR, 0x80);
  w(chip::S0SPDR, 0x02C);
  const std::uint64_t done = board.cclk_cycles() + 72 * 4 - 3;
  EXPECT_EQ(board.transfer_done_at(), done);
  board.advance(done - 1 - board.cclk_cycles());
  EXPECT_EQ(r(chip::S0SPSR), 0u);
  board.advance(1);
  EXPECT_EQ(r(chip::S0SPSR), kSpif);
  EXPECT_EQ(board.transfer_done_at(), std::nullopt);
}

TEST_F(BoardTest, SpifClearsOnlyAfterAStatusReadThenADataAccess) {
  clock_up();
  io_up();
  board.enable_clock();
  w(chip::FIO0CLR, 0x80);
  w(chip::S0SPDR, 0x1AA);
  board.advance(72);
  EXPECT_EQ(r(chip::S0SPSR), kSpif);
  EXPECT_EQ(r(chip::S0SPSR), kSpif);  // reading alone does not clear it
  r(chip::S0SPDR);
  EXPECT_EQ(r(chip::S0SPSR), 0u);
  // Without the status read, SPIF from the last transfer outlives the next write.
  w(chip::S0SPDR, 0x1BB);
  board.advance(72);
  w(chip::S0SPDR, 0x1CC);
  EXPECT_EQ(findings_with("SPIF still set"), 1) << all_findings();
  EXPECT_EQ(r(chip::S0SPSR), kSpif);  // already set while 0x1CC is still shifting
}

TEST_F(BoardTest, WriteDuringATransferSetsWcolAndIsLost) {
  clock_up();
  io_up();
  board.enable_clock();
  w(chip::FIO0CLR, 0x80);
  w(chip::S0SPDR, 0x111);
  board.advance(10);
  w(chip::S0SPDR, 0x122);
  EXPECT_EQ(findings_with("WCOL set, word lost"), 1);
  board.advance(62);
  EXPECT_EQ(r(chip::S0SPSR), kSpif | kWcol);
  r(chip::S0SPDR);  // clears both
  EXPECT_EQ(r(chip::S0SPSR), 0u);
  EXPECT_EQ(board.lcd().words(), Words{0x011});
}

TEST_F(BoardTest, WithoutAClockTheFirstPollCompletesTheTransfer) {
  clock_up();
  io_up();
  w(chip::FIO0CLR, 0x80);
  w(chip::S0SPDR, 0x02C);
  EXPECT_TRUE(board.lcd().words().empty());
  EXPECT_EQ(r(chip::S0SPSR), kSpif);
  EXPECT_EQ(board.lcd().words(), Words{0x12C});
  w(chip::S0SPDR, 0x150);
  w(chip::S0SPDR, 0x151);  // never polled: still in progress
  EXPECT_EQ(findings_with("WCOL"), 1);
}

TEST_F(BoardTest, MisconfiguredPortsKeepWordsFromTheLcd) {
  clock_up();
  io_up();
  w(chip::S0SPCR, 0x083C);  // 8 bits
  send(0x12C);
  EXPECT_EQ(findings_with("8-bit transfers"), 1) << all_findings();
  w(chip::S0SPCR, 0x097C);  // LSB first
  send(0x12C);
  EXPECT_EQ(findings_with("least significant bit first"), 1);
  w(chip::S0SPCR, 0x092C);  // CPOL = 0
  send(0x12C);
  EXPECT_EQ(findings_with("CPOL and CPHA"), 1);
  w(chip::S0SPCR, 0x0934);  // CPHA = 0: still no word for the LCD
  send(0x12C);
  w(chip::S0SPCR, 0x093C);
  w(chip::PINSEL0, 0x00000005);  // SCK0 and MOSI0 left as GPIO
  send(0x12C);
  EXPECT_EQ(findings_with("P0.4 and P0.6"), 1);
  w(chip::PINSEL0, 0x00000105);  // SCK0 alone: no data reaches the LCD
  send(0x12C);
  w(chip::PINSEL0, 0x00001005);  // MOSI0 alone: no clock
  send(0x12C);
  EXPECT_TRUE(board.lcd().words().empty());
  w(chip::PINSEL0, 0x00001105);
  w(chip::S0SPCCR, 7);
  EXPECT_EQ(findings_with("S0SPCCR 0x07: must be even and at least 8"), 1);
}

TEST_F(BoardTest, DataWithTheChipSelectHighIsIgnoredByTheLcd) {
  clock_up();
  io_up();
  w(chip::S0SPDR, 0x150);  // io_init leaves P0.7 high
  r(chip::S0SPSR);
  EXPECT_TRUE(board.lcd().words().empty());
  EXPECT_EQ(findings_with("LCD: word 0x150 sent while the chip select is high"), 1)
      << all_findings();
}

// The figures the emulator predicts transfers from, worked from S0SPCR and S0SPCCR by hand.
TEST(SpiTiming, TransferBitsAndDividerFromTheRegisters) {
  EXPECT_EQ(sim::Board::spi_transfer_bits(0x093C), 9u);  // the firmware's setting
  EXPECT_EQ(sim::Board::spi_transfer_bits(0x0F04), 15u);
  EXPECT_EQ(sim::Board::spi_transfer_bits(0x0004), 16u);  // BITS = 0
  EXPECT_EQ(sim::Board::spi_transfer_bits(0x0938), 8u);   // BitEnable clear: BITS ignored
  EXPECT_EQ(sim::Board::spi_transfer_bits(0x0704), 0u);   // 7 bits: reserved
  for (int d : {8, 10, 254}) EXPECT_TRUE(sim::Board::sck_divider_valid(d)) << d;
  for (int d : {0, 6, 7, 9, 255}) EXPECT_FALSE(sim::Board::sck_divider_valid(d)) << d;
}

}  // namespace
