#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "board/io.h"
#include "display/lcd.h"
#include "firmware/lcd_words.h"
#include "support/lcd_startup.h"
#include "support/recording_bus.h"

namespace {

using test::Access;

struct Transfer : ::testing::Test {
  test::RecordingBus bus;
  test::ScopedBus scope{bus};

  test::LcdTraffic send() {
    bus.log.clear();
    senddisp();
    return test::lcd_traffic(bus.log);
  }
};

// Two pixels as nibbles: R G | B R' | G' B'.
std::vector<int> expected_bytes(int a, int b) {
  return {(a >> 8) << 4 | ((a >> 4) & 0xF), (a & 0xF) << 4 | (b >> 8),
          ((b >> 4) & 0xF) << 4 | (b & 0xF)};
}

TEST_F(Transfer, AllIndexZeroInModeZero) {
  initpal(0);
  std::fill(dispram, dispram + kFramePixels, 0);
  const auto t = send();
  ASSERT_EQ(t.words.size(), 9850u);
  EXPECT_EQ(t.words[0], 0x12C);
  for (std::size_t i = 1; i < t.words.size(); i += 3) {
    ASSERT_EQ(t.words[i], 0x8E) << i;
    ASSERT_EQ(t.words[i + 1], 0x28) << i;
    ASSERT_EQ(t.words[i + 2], 0xE2) << i;
  }
  EXPECT_TRUE(t.waited_each);
}

TEST_F(Transfer, BackgroundSendsZeroBytes) {
  for (int mode : {0, 1}) {
    initpal(static_cast<std::uint8_t>(mode));
    std::fill(dispram, dispram + kFramePixels, kBackground);
    const auto t = send();
    ASSERT_EQ(t.words.size(), 9850u);
    EXPECT_EQ(std::count(t.words.begin() + 1, t.words.end(), 0), 9849) << mode;
  }
}

TEST_F(Transfer, WorkedExamplePair) {
  initpal(0);
  std::fill(dispram, dispram + kFramePixels, kBackground);
  dispram[0] = 0;   // 0x8E2
  dispram[1] = 16;  // 0xDA1
  const auto t = send();
  EXPECT_EQ(std::vector<int>(t.words.begin(), t.words.begin() + 4),
            (std::vector<int>{0x12C, 0x8E, 0x2D, 0xA1}));
}

// Arbitrary pixels in an arbitrary (12-bit) palette, pair by pair in frame order.
TEST_F(Transfer, PacksEveryPairInFrameOrder) {
  std::mt19937 rng(2138);
  for (auto& c : pal) c = static_cast<std::uint16_t>(rng() & 0xFFF);
  for (auto& p : dispram) p = static_cast<std::uint8_t>(rng());
  const auto t = send();
  ASSERT_EQ(t.words.size(), 9850u);
  for (int p = 0; p < 3283; ++p) {
    const auto e = expected_bytes(pal[dispram[2 * p]], pal[dispram[2 * p + 1]]);
    ASSERT_EQ(t.words[1 + 3 * p], e[0]) << p;
    ASSERT_EQ(t.words[2 + 3 * p], e[1]) << p;
    ASSERT_EQ(t.words[3 + 3 * p], e[2]) << p;
  }
  // The last group is columns 96 and 97 of row 66.
  const auto last = expected_bytes(pal[dispram[6564]], pal[dispram[6565]]);
  EXPECT_EQ(std::vector<int>(t.words.end() - 3, t.words.end()), last);
}

TEST_F(Transfer, OneChipSelectPulseBeforeTheCommand) {
  initpal(0);
  const auto t = send();
  EXPECT_EQ(t.pulse_before, std::vector<int>{0});
  for (std::size_t i = 1; i < t.words.size(); ++i) ASSERT_LE(t.words[i], 0xFF) << i;
}

// Reads with SPIF clear hold the next word back.
TEST_F(Transfer, WaitsForEachWordToLeave) {
  initpal(0);
  std::vector<std::uint32_t> status;
  for (int i = 0; i < 40; ++i) status.push_back(i % 4 == 3 ? 0x80 : 0x00);
  bus.queue_reads(lpc2138::S0SPSR.addr, status);
  const auto t = send();
  EXPECT_TRUE(t.waited_each);
  EXPECT_EQ(t.words.size(), 9850u);
  // The first ten words each needed four status reads.
  int writes = 0, reads = 0;
  for (const Access& a : bus.log) {
    if (a.addr == lpc2138::S0SPDR.addr) ++writes;
    if (a.addr == lpc2138::S0SPSR.addr && writes <= 10) ++reads;
    if (a.addr == lpc2138::S0SPSR.addr) {
      EXPECT_EQ(a.width, 8u);
    }
    if (a.addr == lpc2138::S0SPDR.addr) {
      EXPECT_EQ(a.width, 16u);
    }
  }
  EXPECT_EQ(reads, 40);
}

TEST(LcdInit, SendsTheStartUpSequenceWithFourDelays) {
  test::RecordingBus bus;
  test::ScopedBus scope(bus);
  lcd_init();
  const auto t = test::lcd_traffic(bus.log);
  EXPECT_EQ(t.words, test::kLcdStartupWords);
  EXPECT_EQ(t.words.size(), 59u);
  EXPECT_EQ(std::count_if(t.words.begin(), t.words.end(), [](int w) { return w >= 0x100; }), 16);
  EXPECT_TRUE(t.waited_each);

  // A pulse before each of the 16 commands and before nothing else.
  std::vector<int> commands;
  for (std::size_t i = 0; i < t.words.size(); ++i) {
    if (t.words[i] >= 0x100) commands.push_back(static_cast<int>(i));
  }
  EXPECT_EQ(t.pulse_before, commands);

  // Each delay is four waits of 153 passes, after the word it follows and before the next.
  std::vector<int> last_word_before_delay;
  int last_word = -1;
  for (const Access& a : bus.log) {
    if (a.kind == Access::Write && a.addr == lpc2138::S0SPDR.addr) {
      last_word = static_cast<int>(a.value ^ 0x100);
    }
    if (a.kind == Access::Delay) {
      EXPECT_EQ(a.value, 4u * 153u);
      last_word_before_delay.push_back(last_word);
    }
  }
  EXPECT_EQ(last_word_before_delay, (std::vector<int>{0x101, 0x1C6, 0x111, 0x103}));
}

}  // namespace
