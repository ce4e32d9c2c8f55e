// Drives a Board through its bus interface with the widths the registers are named with.
#pragma once

#include <gtest/gtest.h>

#include <deque>
#include <string>

#include "hw/lpc2138.h"
#include "sim/board.h"

namespace simtest {

namespace chip = lpc2138;

// Hands out a fixed list of converter codes, then mid-scale.
class ScriptedAudio : public sim::AudioSource {
 public:
  explicit ScriptedAudio(std::deque<std::uint16_t> codes) : codes_(std::move(codes)) {}
  std::uint16_t next() override {
    if (codes_.empty()) return 512;
    const std::uint16_t c = codes_.front();
    codes_.pop_front();
    return c;
  }

 private:
  std::deque<std::uint16_t> codes_;
};

class BoardTest : public ::testing::Test {
 protected:
  explicit BoardTest(std::deque<std::uint16_t> codes = {})
      : board(std::make_unique<ScriptedAudio>(std::move(codes))) {}

  template <typename T>
  void w(hw::Reg<T> r, std::uint32_t v) {
    board.write(r.addr, hw::Reg<T>::width, v);
  }
  template <typename T>
  std::uint32_t r(hw::Reg<T> reg) {
    return board.read(reg.addr, hw::Reg<T>::width);
  }

  // The number of findings whose message contains `text`.
  int findings_with(const std::string& text) const {
    int n = 0;
    for (const auto& f : board.findings()) n += f.message.find(text) != std::string::npos;
    return n;
  }
  std::string all_findings() const {
    std::string s;
    for (const auto& f : board.findings()) s += f.message + "\n";
    return s;
  }

  void feed() {
    w(chip::PLLFEED, 0xAA);
    w(chip::PLLFEED, 0x55);
  }

  // The clock bring-up the firmware performs: 36 MHz from the 12 MHz crystal.
  void clock_up() {
    w(chip::MEMMAP, 1);
    w(chip::MAMCR, 0);
    w(chip::MAMTIM, 3);
    w(chip::MAMCR, 2);
    w(chip::PLLCFG, 0x42);
    w(chip::PLLCON, 1);
    feed();
    while (!(r(chip::PLLSTAT) & 0x400)) board.advance(10);
    w(chip::PLLCON, 3);
    feed();
    w(chip::VPBDIV, 1);
  }

  // Pins, SPI0 and ADC0 as the firmware sets them, with the LCD reset pulse.
  void io_up() {
    w(chip::PINSEL0, 0x00001105);
    w(chip::S0SPCR, 0x093C);
    w(chip::S0SPCCR, 8);
    w(chip::PINSEL1, 0x0000C000);
    w(chip::SCS, 1);
    w(chip::FIO0DIR, 0x3D0);
    w(chip::AD0CR, 0x0020FF02);
    w(chip::FIO0SET, 0x080);
    w(chip::FIO0CLR, 0x100);
    w(chip::FIO0SET, 0x100);
    w(chip::FIO0SET, 0x200);
  }

  // sendlcd as the firmware performs it: select pulse before a command, poll SPIF.
  void send(int d) {
    if (d & 0x100) {
      w(chip::FIO0SET, 0x80);
      w(chip::FIO0CLR, 0x80);
    }
    w(chip::S0SPDR, static_cast<std::uint32_t>(d ^ 0x100));
    while (!(r(chip::S0SPSR) & 0x80)) board.advance(8);
  }

  sim::Board board;
};

}  // namespace simtest
