// A logic-analyser trace of the board's pins: a Value Change Dump (timescale 1 ns) of SCK0,
// MOSI0, LCD_CS, LCD_RESET, P0_9, AD_BUSY and TXD0, written as the run goes under a temporary
// name that becomes its own at finish().
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "runner/output.h"
#include "sim/board.h"

namespace runner {

// A line to say before a run whose trace will be large: for `frames` frames that pass 1 GB, the
// size and the rate; without a frame count (a view that goes on until closed), the rate. Empty
// when there is nothing to say. The rate is an estimate, what the effects' frames measure.
std::string vcd_size_note(std::optional<int> frames);

class VcdTrace final : public sim::WireSink {
 public:
  explicit VcdTrace(const std::string& path);
  void lines(double ns, std::uint32_t levels) override;
  void transfer(double ns, std::uint16_t word, unsigned bits, double bit_ns) override;
  void conversion(double ns, double length_ns) override;
  void character(double ns, std::uint16_t levels, unsigned bits, double bit_ns) override;
  // Writes the changes still due; throws std::runtime_error if the file could not be completed.
  void finish();

 private:
  enum Signal { kSck, kMosi, kCs, kReset, kAux, kAdBusy, kTxd, kSignals };

  // The transfer last started: SPI mode 3, so each bit is a falling edge that sets MOSI0 and a
  // rising edge half a bit later that the LCD samples it on.
  struct Shift {
    double start = 0;
    std::uint16_t word = 0;
    unsigned bits = 0;
    double bit_ns = 0;
    unsigned next_edge = 0;  // of 2 x bits
    double edge_ns() const { return start + next_edge * bit_ns / 2; }
    bool pending() const { return next_edge < 2 * bits; }
  };

  // The character last started on TXD0: an edge at the start of each bit, and one back to the
  // idle level where the stop bits begin.
  struct Serial {
    double start = 0;
    std::uint16_t levels = 0;
    unsigned bits = 0;
    double bit_ns = 0;
    unsigned next_edge = 0;  // of bits + 1
    double edge_ns() const { return start + next_edge * bit_ns; }
    bool pending() const { return next_edge <= bits && bits != 0; }
  };

  // Writes the transfer's and the character's edges and the conversion's end that fall at or
  // before `ns`.
  void catch_up(double ns);
  void next_edge();
  void set(double ns, Signal s, bool level);
  void put_time(double ns);

  std::string path_;
  StagedFile staged_;
  File file_;
  std::array<bool, kSignals> level_{};
  std::uint64_t written_ns_ = 0;
  Shift shift_;
  Serial serial_;
  std::optional<double> adc_done_ns_;
  double end_ns_ = 0;  // when the last transfer, conversion or character ends
};

}  // namespace runner
