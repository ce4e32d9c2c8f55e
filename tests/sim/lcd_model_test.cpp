// The LCD controller model fed with hand-built word streams.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/lcd_model.h"
#include "support/lcd_startup.h"

namespace {

using sim::kLcdPixels;
using sim::LcdModel;

using test::kLcdStartupWords;

// A recognisable colour for every pixel position.
std::uint16_t colour_at(int i) {
  return static_cast<std::uint16_t>((i * 37 + i / 98) & 0xFFF);
}

class LcdModelTest : public ::testing::Test, public sim::LcdObserver {
 protected:
  LcdModelTest() {
    lcd.add_observer(*this);
    lcd.set_select(true);
  }

  void word(std::uint16_t w) override { heard.push_back(w); }
  void frame(const sim::LcdFrame& f) override { frame_pixel0.push_back(f[0]); }
  void finding(const std::string& message) override { findings.push_back(message); }

  void send(int d) { lcd.receive(static_cast<std::uint16_t>(d ^ 0x100)); }
  void send_all(const std::vector<int>& ds) {
    for (int d : ds) send(d);
  }
  // Pixels a and b as three bytes: R G of a, B of a and R of b, G B of b.
  void send_pair(std::uint16_t a, std::uint16_t b) {
    send(a >> 4);
    send(((a & 0xF) << 4) | (b >> 8));
    send(b & 0xFF);
  }
  void send_frame() {
    send(0x12C);
    for (int i = 0; i < kLcdPixels; i += 2) send_pair(colour_at(i), colour_at(i + 1));
  }
  int findings_with(const std::string& text) const {
    int n = 0;
    for (const auto& f : findings) n += f.find(text) != std::string::npos;
    return n;
  }

  LcdModel lcd;
  // What the model reported as it happened.
  std::vector<std::uint16_t> heard;
  std::vector<std::uint16_t> frame_pixel0;
  std::vector<std::string> findings;
};

TEST_F(LcdModelTest, StartupThenFrameGivesThePixelsInRowOrder) {
  EXPECT_EQ(kLcdStartupWords.size(), 59u);
  send_all(kLcdStartupWords);
  EXPECT_FALSE(lcd.sleeping());
  EXPECT_TRUE(lcd.display_on());
  EXPECT_EQ(lcd.contrast(), 0x50);
  send_frame();
  ASSERT_EQ(lcd.frames().size(), 1u);
  const sim::LcdFrame& f = lcd.frames()[0];
  for (int i = 0; i < kLcdPixels; ++i) ASSERT_EQ(f[i], colour_at(i)) << "pixel " << i;
  EXPECT_TRUE(findings.empty()) << findings.front();
  EXPECT_EQ(lcd.words().size(), 59u + 1 + 9849);
  EXPECT_EQ(lcd.words().front(), 0x101);
  EXPECT_EQ(lcd.words().back(), colour_at(kLcdPixels - 1) & 0xFF);
  // Observers hear of each word and the frame as they arrive, the same as the history.
  EXPECT_EQ(heard, lcd.words());
  EXPECT_EQ(frame_pixel0, std::vector<std::uint16_t>{colour_at(0)});
}

TEST_F(LcdModelTest, ThreeBytesUnpackIntoTwoTwelveBitPixels) {
  send_all(kLcdStartupWords);
  send(0x12C);
  send_all({0x8E, 0x2D, 0xA1});  // 0x8E2 then 0xDA1
  for (int i = 2; i < kLcdPixels; i += 2) send_all({0, 0, 0});
  ASSERT_EQ(lcd.frames().size(), 1u);
  EXPECT_EQ(lcd.frames()[0][0], 0x8E2);
  EXPECT_EQ(lcd.frames()[0][1], 0xDA1);
  EXPECT_EQ(lcd.frames()[0][2], 0x000);
}

TEST_F(LcdModelTest, PanelIsBlackUntilAwakeAndOn) {
  send_frame();  // straight after power-on: asleep and off
  send(0x129);
  send_frame();  // on but still asleep
  send(0x111);
  send_frame();
  ASSERT_EQ(lcd.frames().size(), 3u);
  EXPECT_EQ(lcd.frames()[0], sim::LcdFrame{});
  EXPECT_EQ(lcd.frames()[1], sim::LcdFrame{});
  EXPECT_EQ(lcd.frames()[2][kLcdPixels - 1], colour_at(kLcdPixels - 1));
  send(0x128);  // display off, awake
  EXPECT_EQ(lcd.panel(), sim::LcdFrame{});
  send(0x129);
  EXPECT_EQ(lcd.panel()[5], colour_at(5));  // the memory kept its picture
  send(0x101);                              // software reset: asleep and off again
  EXPECT_TRUE(lcd.sleeping());
  EXPECT_EQ(lcd.panel(), sim::LcdFrame{});
}

TEST_F(LcdModelTest, StreamErrorsAreFindings) {
  send(0x042);
  EXPECT_EQ(findings_with("data byte 0x42 before any command"), 1);
  send_all({0x1B9, 0x111});
  EXPECT_EQ(findings_with("command 0xB9 got 0 of its 1 parameters"), 1);
  send_all({0x125, 0x050, 0x051});
  EXPECT_EQ(findings_with("data byte 0x51 beyond the 1 parameters of command 0x25"), 1);
  send(0x1EE);
  EXPECT_EQ(findings_with("unknown command 0xEE"), 1);
  send_all({0x12C, 0x11, 0x22, 0x33, 0x44});
  send(0x129);
  EXPECT_EQ(findings_with("frame cut short after 2 of 6566 pixels"), 1);
  EXPECT_TRUE(lcd.frames().empty());
  EXPECT_EQ(findings.size(), 5u);
}

TEST_F(LcdModelTest, PixelsPastAFullFrameStartOver) {
  send_all(kLcdStartupWords);
  send_frame();
  send_pair(0x123, 0x456);
  EXPECT_EQ(findings_with("beyond the 6566th pixel"), 1);
  EXPECT_EQ(lcd.panel()[0], 0x123);
  EXPECT_EQ(lcd.panel()[1], 0x456);
}

TEST_F(LcdModelTest, DeselectedOrResetControllerIgnoresWords) {
  lcd.set_select(false);
  send(0x101);
  EXPECT_TRUE(lcd.words().empty());
  EXPECT_EQ(findings_with("chip select is high"), 1);
  lcd.set_select(true);
  send_all(kLcdStartupWords);
  lcd.set_reset(true);
  EXPECT_TRUE(lcd.in_reset());
  EXPECT_TRUE(lcd.sleeping());
  send(0x111);
  EXPECT_EQ(findings_with("held in reset"), 1);
  lcd.set_reset(false);
  EXPECT_TRUE(lcd.sleeping());
  EXPECT_FALSE(lcd.display_on());
}

TEST_F(LcdModelTest, ARunawayStreamReportsEveryError) {
  for (int i = 0; i < 5000; ++i) send(0x10);  // data with no command, forever
  // Each one as it happens: the board that lists them bounds the list (board_test.cpp).
  ASSERT_EQ(findings.size(), 5000u);
  EXPECT_EQ(findings.back(), "data byte 0x10 before any command");
  EXPECT_EQ(lcd.words().size(), 5000u);
}

// The link's format as the controller's serial interface takes it: 9 bits, flag bit first,
// mode 3 (clock idling high, sampled on its rising edge).
TEST_F(LcdModelTest, AcceptsOnlyNineBitMode3MostSignificantFirst) {
  struct Complaints : sim::SpiComplaints {
    void refuse(const char* key, const std::string& why) override {
      said.push_back(std::string(key) + ": " + why);
    }
    std::vector<std::string> said;
  };
  const struct {
    sim::SpiFormat format;
    std::vector<std::string> complaints;
  } cases[] = {
      {{9, true, true, false}, {}},
      {{8, true, true, false}, {"lcd-width: 8-bit transfers: the LCD takes 9-bit words"}},
      {{16, true, true, false}, {"lcd-width: 16-bit transfers: the LCD takes 9-bit words"}},
      {{9, true, true, true},
       {"lcd-lsbf: least significant bit first: the LCD takes the flag bit first"}},
      {{9, false, true, false}, {"lcd-mode"}},
      {{9, true, false, false}, {"lcd-mode"}},
      {{10, false, false, true}, {"lcd-width", "lcd-lsbf", "lcd-mode"}},  // every mismatch
  };
  for (const auto& c : cases) {
    Complaints said;
    const bool ok = lcd.accepts(c.format, said);
    EXPECT_EQ(ok, c.complaints.empty()) << c.format.bits;
    ASSERT_EQ(said.said.size(), c.complaints.size()) << c.format.bits;
    for (std::size_t i = 0; i < said.said.size(); ++i) {
      EXPECT_EQ(said.said[i].rfind(c.complaints[i], 0), 0u) << said.said[i];
    }
  }
}

}  // namespace
