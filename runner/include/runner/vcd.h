// A logic-analyser trace of the board's pins: a Value Change Dump (timescale 1 ns) of SCK0,
// MOSI0, LCD_CS, LCD_RESET, P0_9 and AD_BUSY, written as the run goes under a temporary name
// that becomes its own at finish().
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "runner/output.h"
#include "sim/board.h"

namespace runner {

class VcdTrace final : public sim::WireSink {
 public:
  explicit VcdTrace(const std::string& path);
  void lines(double ns, std::uint32_t levels) override;
  void transfer(double ns, std::uint16_t word, unsigned bits, double bit_ns) override;
  void conversion(double ns, double length_ns) override;
  // Writes the changes still due; throws std::runtime_error if the file could not be completed.
  void finish();

 private:
  enum Signal { kSck, kMosi, kCs, kReset, kAux, kAdBusy, kSignals };

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

  // Writes the transfer's edges and the conversion's end that fall at or before `ns`.
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
  std::optional<double> adc_done_ns_;
  double end_ns_ = 0;  // when the last transfer or conversion ends
};

}  // namespace runner
