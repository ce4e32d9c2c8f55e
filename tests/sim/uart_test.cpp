// UART0: the divisor latches behind DLAB, THRE and TEMT at the clocks a character takes, the
// FIFO's depth, TXEN, the pin, and what reading an empty receiver or overfilling the FIFO costs;
// and the board's time bound.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "board_helpers.h"

namespace {

namespace chip = lpc2138;

constexpr std::uint32_t kThre = 0x20, kTemt = 0x40;

// A board on its 12 MHz crystal with PCLK = CCLK, and what leaves its TXD0, as bytes and as
// the line's levels.
struct Uart : sim::UartSink, sim::WireSink {
  explicit Uart(bool clocked = true)
      : board(std::make_unique<simtest::ScriptedAudio>(std::deque<std::uint16_t>{})) {
    if (clocked) board.enable_clock();
    board.add_uart_sink(*this);
    board.add_wire_sink(*this);
    w(chip::VPBDIV, 1);
  }
  void byte(std::uint8_t b) override { bytes += static_cast<char>(b); }
  void lines(double, std::uint32_t) override {}
  void transfer(double, std::uint16_t, unsigned, double) override {}
  void conversion(double, double) override {}
  void character(double at, std::uint16_t l, unsigned n, double ns) override {
    starts.push_back(at);
    levels = l;
    bits = n;
    bit_ns = ns;
  }

  template <typename T>
  void w(hw::Reg<T> reg, std::uint32_t v) {
    board.write(reg.addr, hw::Reg<T>::width, v);
  }
  template <typename T>
  std::uint32_t r(hw::Reg<T> reg) {
    return board.read(reg.addr, hw::Reg<T>::width);
  }
  std::uint32_t lsr() { return r(chip::U0LSR); }
  // P0.0 as TXD0, the divisor and line format, the FIFOs on.
  void up(unsigned divisor, std::uint8_t lcr = 0x03) {
    w(chip::PINSEL0, 0x5);
    w(chip::U0LCR, lcr | 0x80u);
    w(chip::U0DLL, divisor & 0xFF);
    w(chip::U0DLM, divisor >> 8);
    w(chip::U0LCR, lcr);
    w(chip::U0FCR, 0x07);
  }
  std::string findings() const {
    std::string s;
    for (const auto& f : board.findings()) s += f.message + "\n";
    return s;
  }

  sim::Board board;
  std::string bytes;
  std::vector<double> starts;  // ns
  std::uint16_t levels = 0;
  unsigned bits = 0;
  double bit_ns = 0;
};

// A character takes 16 peripheral clocks a bit times the divisor: start, data, parity and stop
// bits. THRE is set again as soon as the shift register takes a byte, TEMT only once the last
// stop bit has ended, and only then has the byte left the pin.
TEST(Uart0, ThreAndTemtFollowEachCharactersBits) {
  struct Case {
    std::uint8_t lcr;
    unsigned divisor;
    std::uint64_t clocks;  // PCLK = CCLK
    std::uint16_t levels;  // of 'h', 0x68 = 0110 1000, after the start bit's 0
    unsigned bits;         // before the stop bits
    char sent;             // 'h' in the data bits
  };
  const Case cases[] = {
      {0x03, 20, 10 * 16 * 20, 0x68 << 1, 9, 'h'},             // 8N1
      {0x03, 0x0102, 10 * 16 * 258, 0x68 << 1, 9, 'h'},        // DLM counts 256 each
      {0x07, 3, 11 * 16 * 3, 0x68 << 1, 9, 'h'},               // 8N2
      {0x1B, 1, 11 * 16, 0x68 << 1 | 1 << 9, 10, 'h'},         // 8E1: 3 ones, parity 1
      {0x0B, 1, 11 * 16, 0x68 << 1, 10, 'h'},                  // 8O1: parity 0
      {0x2B, 1, 11 * 16, 0x68 << 1 | 1 << 9, 10, 'h'},         // parity forced 1
      {0x00, 5, 7 * 16 * 5, 0x08 << 1, 6, 0x08},               // 5N1: the low 5 bits
      {0x04, 5, (6 * 16 + 24) * 5, 0x08 << 1, 6, 0x08},        // 5 bits: 1.5 stop bits
      {0x3A, 2, (1 + 7 + 1 + 1) * 16 * 2, 0x68 << 1, 9, 'h'},  // 7 bits, parity forced 0
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "U0LCR " << int{c.lcr} << ", divisor " << c.divisor);
    Uart u;
    u.up(c.divisor, c.lcr);
    u.w(chip::U0THR, 'h');
    EXPECT_EQ(u.lsr(), kThre);  // 'h' is on the line, the FIFO empty again
    u.w(chip::U0THR, 'i');
    EXPECT_EQ(u.lsr(), 0u);
    EXPECT_EQ(u.board.character_done_at(), u.board.cclk_cycles() + c.clocks);
    EXPECT_EQ(u.levels, c.levels);
    EXPECT_EQ(u.bits, c.bits);
    EXPECT_NEAR(u.bit_ns, 16.0 * c.divisor / 12e6 * 1e9, 1e-6);
    u.board.advance(c.clocks - 1);
    EXPECT_EQ(u.lsr(), 0u);
    EXPECT_EQ(u.bytes, "");
    u.board.advance(1);  // 'i' follows at once
    EXPECT_EQ(u.lsr(), kThre);
    EXPECT_EQ(u.bytes, std::string(1, c.sent));
    u.board.advance(c.clocks - 1);
    EXPECT_EQ(u.lsr(), kThre);
    u.board.advance(1);
    EXPECT_EQ(u.lsr(), kThre | kTemt);
    EXPECT_EQ(u.bytes.size(), 2u);
    EXPECT_TRUE(u.board.findings().empty()) << u.findings();
  }
}

// DLAB turns +0 and +4 into the divisor latches (1 and 0 at reset); without it +0 sends and +4
// is U0IER. The divisor 0 counts as 1.
TEST(Uart0, DlabSelectsTheDivisorLatches) {
  Uart u;
  u.w(chip::PINSEL0, 0x5);
  u.w(chip::U0FCR, 0x01);
  u.w(chip::U0LCR, 0x83);
  EXPECT_EQ(u.r(chip::U0DLL), 0x01u);
  EXPECT_EQ(u.r(chip::U0DLM), 0x00u);
  u.w(chip::U0DLL, 0x00);
  u.w(chip::U0DLM, 0x00);
  u.w(chip::U0THR, 'x');   // DLL, with DLAB set
  u.w(chip::U0IER, 0x01);  // DLM
  EXPECT_EQ(u.r(chip::U0DLL), 'x');
  EXPECT_EQ(u.r(chip::U0DLM), 0x01u);
  EXPECT_EQ(u.lsr(), kThre | kTemt);  // nothing sent
  u.w(chip::U0DLL, 0);
  u.w(chip::U0DLM, 0);
  u.w(chip::U0LCR, 0x03);
  EXPECT_EQ(u.r(chip::U0IER), 0u);
  u.w(chip::U0IER, 0xFF);
  EXPECT_EQ(u.r(chip::U0IER), 0x07u);  // the enables there are
  u.w(chip::U0THR, 'y');
  EXPECT_EQ(u.board.character_done_at(), u.board.cclk_cycles() + 10 * 16);
  EXPECT_TRUE(u.board.findings().empty()) << u.findings();
}

// The FIFO holds 16 bytes behind the one on the line, one without FIFO Enable (which the
// manual asks for); a byte past them is lost, a finding. So is reading U0RBR with nothing
// received.
TEST(Uart0, FifoDepthAndMisuse) {
  struct Case {
    std::uint8_t fcr;
    int taken;
    const char* finding;
  };
  for (const Case& c : {Case{0x07, 1 + 16, "FIFO full (16 bytes): byte lost"},
                        Case{0x00, 1 + 1, "FIFO full (1 byte): byte lost"}}) {
    SCOPED_TRACE(c.finding);
    Uart u;
    u.up(1);
    u.w(chip::U0FCR, c.fcr);
    for (int i = 0; i < c.taken + 1; ++i) u.w(chip::U0THR, 'a' + i);
    EXPECT_EQ(u.board.findings().size(), c.fcr == 0 ? 2u : 1u) << u.findings();
    EXPECT_NE(u.findings().find(std::string("U0THR ") + (c.fcr ? "0x72" : "0x63") +
                                ": written with the transmit " + c.finding),
              std::string::npos)
        << u.findings();
    u.board.advance(160 * static_cast<std::uint64_t>(c.taken + 1));
    EXPECT_EQ(u.bytes, std::string("abcdefghijklmnopq").substr(0, c.taken));
  }
  Uart u;
  u.up(1);
  EXPECT_EQ(u.r(chip::U0RBR), 0u);
  EXPECT_EQ(u.lsr() & 0x01, 0u);  // RDR
  ASSERT_EQ(u.board.findings().size(), 1u);
  EXPECT_EQ(u.board.findings()[0].message,
            "U0RBR 0x00: read with nothing received (U0LSR.RDR = 0): nothing drives RXD0 on "
            "this board");
  EXPECT_EQ(u.board.findings()[0].address, 0xE000C000u);
}

// U0IIR: no interrupt pending at reset; with the FIFOs on its top bits are set; the THRE
// interrupt, enabled, is pending once the FIFO empties and one read of U0IIR clears it, as a
// write of U0THR does. A TX FIFO reset empties the FIFO but not the shift register. TXEN = 0
// holds the FIFO's bytes until it is set again.
TEST(Uart0, InterruptIdentificationFifoResetAndTxen) {
  Uart u;
  EXPECT_EQ(u.r(chip::U0IIR), 0x01u);
  u.up(1);
  EXPECT_EQ(u.r(chip::U0IIR), 0xC1u);
  u.w(chip::U0IER, 0x02);
  u.w(chip::U0THR, 'a');  // straight to the shift register: the FIFO empties
  EXPECT_EQ(u.r(chip::U0IIR), 0xC2u);
  EXPECT_EQ(u.r(chip::U0IIR), 0xC1u);
  u.w(chip::U0THR, 'b');
  u.board.advance(160);   // 'b' goes on the line: the FIFO empties again
  u.w(chip::U0THR, 'c');  // and the write clears the interrupt
  EXPECT_EQ(u.r(chip::U0IIR), 0xC1u);
  u.w(chip::U0THR, 'd');
  u.w(chip::U0FCR, 0x05);  // 'c' and 'd' dropped; 'b' stays on the line
  EXPECT_EQ(u.lsr(), kThre);
  u.board.advance(160);
  EXPECT_EQ(u.lsr(), kThre | kTemt);
  EXPECT_EQ(u.bytes, "ab");

  u.w(chip::U0TER, 0x00);
  EXPECT_EQ(u.r(chip::U0TER), 0x00u);
  u.w(chip::U0THR, 'e');
  u.board.advance(1000);
  EXPECT_EQ(u.lsr(), 0u);  // held in the FIFO
  u.w(chip::U0TER, 0x80);
  EXPECT_EQ(u.lsr(), kThre);
  u.board.advance(160);
  EXPECT_EQ(u.bytes, "abe");
  EXPECT_TRUE(u.board.findings().empty()) << u.findings();
}

// A character follows the one before it on the wire where that one's stop bit ends, however
// much later the board is next accessed: at PCLK = 3 MHz and divisor 1, 160 peripheral clocks
// of 333.3 ns.
TEST(Uart0, ACharacterStartsWhereTheOneBeforeItEnds) {
  Uart u;
  u.up(1);
  u.w(chip::VPBDIV, 0);
  u.w(chip::U0THR, 'a');
  u.w(chip::U0THR, 'b');
  u.board.advance(10'000);
  ASSERT_EQ(u.starts.size(), 2u);
  EXPECT_NEAR(u.starts[1] - u.starts[0], 160 * 1e9 / 3e6, 1e-6);
  EXPECT_EQ(u.bytes, "ab");
}

// A character sent while P0.0 is GPIO takes its time but reaches neither the byte sinks nor
// the wire; without a clock a status read ends the character on the line.
TEST(Uart0, PinSelectionAndTheUnclockedBoard) {
  Uart u;
  u.up(1);
  u.w(chip::PINSEL0, 0x4);  // P0.1 only
  u.w(chip::U0THR, 'a');
  EXPECT_EQ(u.bits, 0u);
  EXPECT_EQ(u.lsr(), kThre);
  u.board.advance(160);
  EXPECT_EQ(u.lsr(), kThre | kTemt);
  EXPECT_EQ(u.bytes, "");
  ASSERT_EQ(u.board.findings().size(), 1u);
  EXPECT_NE(u.findings().find("P0.0 is not TXD0"), std::string::npos);

  Uart n(false);
  n.up(1);
  n.w(chip::U0THR, 'a');
  n.w(chip::U0THR, 'b');
  EXPECT_EQ(n.lsr(), kThre);  // 'a' out, 'b' on the line
  EXPECT_EQ(n.bytes, "a");
  EXPECT_EQ(n.lsr(), kThre | kTemt);
  EXPECT_EQ(n.bytes, "ab");
}

// The board's time bound falls where the processor clock's rate puts it, whatever the
// peripherals' clock, and moves with the rate.
TEST(Board, TimeLimitInProcessorClocks) {
  Uart u;                // 12 MHz
  u.w(chip::VPBDIV, 0);  // PCLK 3 MHz
  EXPECT_EQ(u.board.time_limit_cycles(), std::nullopt);
  u.board.set_time_limit(0.001);
  EXPECT_EQ(u.board.time_limit_cycles(), u.board.cclk_cycles() + 12000);
  u.board.advance(6000);  // half way, then three times the rate
  u.w(chip::PLLCFG, 0x42);
  u.w(chip::PLLCON, 1);
  u.w(chip::PLLFEED, 0xAA);
  u.w(chip::PLLFEED, 0x55);
  while (!(u.r(chip::PLLSTAT) & 0x400)) u.board.advance(10);
  u.w(chip::PLLCON, 3);
  u.w(chip::PLLFEED, 0xAA);
  u.w(chip::PLLFEED, 0x55);
  const double left = 0.001 - u.board.seconds();
  const std::uint64_t at = *u.board.time_limit_cycles();
  EXPECT_NEAR(static_cast<double>(at - u.board.cclk_cycles()), left * 36e6, 1.0);
  u.board.advance(at - u.board.cclk_cycles() - 1);
  EXPECT_FALSE(u.board.time_up());
  u.board.advance(1);
  EXPECT_TRUE(u.board.time_up());
}

}  // namespace
