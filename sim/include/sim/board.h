// The board model: the LPC2138 peripherals the firmware uses, the LCD module on SPI0 and an
// audio source on AD0.1. It is the Bus of the host runner and the MMIO target of the emulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "hw/reg.h"
#include "sim/audio.h"
#include "sim/lcd_model.h"

namespace sim {

// Something the chip would have punished silently, or a broken LCD stream.
struct Finding {
  std::string message;        // what happened, with register name and value
  std::uint32_t address = 0;  // register address, 0 where none applies
};

// Thrown by a board without a clock when the firmware completes no frame for a very long time.
class Stalled : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Thrown by a board without a clock at the first register access after request_stop().
class Stopped : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Takes the LCD's words and frames as they arrive, so that what a run writes streams out and
// its memory does not grow with its length.
class LcdSink {
 public:
  virtual void word(std::uint16_t word) = 0;  // as LcdModel::words() logs it
  // A complete frame, with the processor clock count and rate at its arrival (the count stays
  // 0 on a board without a clock).
  virtual void frame(const LcdFrame& frame, std::uint64_t cclk, double cclk_hz) = 0;

 protected:
  ~LcdSink() = default;
};

// Watches the board's pins as a logic analyser on them would: the LCD's link and lines, P0.9 and
// the converter. Times are the board's, in nanoseconds from reset: with a clock, its processor
// clocks at the rate each ran at; without one, a nominal time in which each register access
// takes a processor clock and each transfer and conversion its length under the register
// settings, one after another.
class WireSink {
 public:
  // P0.7 (LCD select), P0.8 (LCD reset) or P0.9 changed level; `levels` holds all three as
  // FIO0PIN does. At reset they are pulled up.
  virtual void lines(double ns, std::uint32_t levels) = 0;
  // SPI0 starts shifting `word` out on SCK0 and MOSI0: `bits` bits, most significant first,
  // each `bit_ns` long.
  virtual void transfer(double ns, std::uint16_t word, unsigned bits, double bit_ns) = 0;
  // A conversion runs from `ns` until its DONE, `length_ns` later.
  virtual void conversion(double ns, double length_ns) = 0;
  // UART0 starts a character on TXD0 (idle high): `bits` bits of `bit_ns` each, their levels
  // in `levels` from bit 0 on: the start bit (0), the data bits least significant first and
  // the parity bit if any; the stop bits that follow are at the idle level. A sink that does
  // not watch TXD0 need not take it.
  virtual void character(double ns, std::uint16_t levels, unsigned bits, double bit_ns) {
    (void)ns, (void)levels, (void)bits, (void)bit_ns;
  }

 protected:
  ~WireSink() = default;
};

// Takes UART0's bytes as they leave TXD0: each once its last stop bit has ended.
class UartSink {
 public:
  virtual void byte(std::uint8_t byte) = 0;

 protected:
  ~UartSink() = default;
};

class Board : public hw::Bus {
 public:
  static constexpr double kCrystalHz = 12'000'000.0;
  // Far more than any start-up or frame needs (a frame of the spectrum effect makes some
  // 25,000, one calibration pass some 3,000), far less than a minute's loop.
  static constexpr std::uint64_t kStallAccesses = 20'000'000;
  // Findings listed at most; a broken loop or stream repeats its fault endlessly, and what
  // follows is summed up in one line.
  static constexpr std::size_t kMaxFindings = 1000;

  explicit Board(std::unique_ptr<AudioSource> audio);
  ~Board() override;
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  std::uint32_t read(std::uint32_t addr, unsigned width) override;
  void write(std::uint32_t addr, unsigned width, std::uint32_t value) override;
  // Every peripheral register to its reset value, as the chip's reset leaves them; time, the
  // LCD module and the findings so far stay.
  void reset();
  // The crystal the board runs at (12 MHz unless set): the processor clock before the PLL and
  // what the PLL multiplies. Before the run.
  void set_crystal_hz(double hz);

  // True for addresses of the modelled peripherals (system control, pin connect, SPI0, ADC0,
  // UART0, fast GPIO, VIC); everything else is no register of this board.
  static bool is_peripheral(std::uint32_t addr);
  // The width of the register at addr in bits, 0 where there is none (for a debugger, which
  // must access each register as the firmware would).
  static unsigned register_width(std::uint32_t addr);

  // Peripheral timing as register settings make it, shared with whoever predicts it (the
  // emulator skips the polls that cannot succeed yet).
  // Bits per SPI0 transfer under S0SPCR: 8 without BitEnable, 16 for BITS = 0, and 0 for a
  // reserved BITS value.
  static unsigned spi_transfer_bits(std::uint16_t spcr);
  // Whether S0SPCCR holds a clock divider the manual allows: even and at least 8.
  static bool sck_divider_valid(std::uint8_t spccr);
  // Peripheral clocks of one A/D conversion under AD0CR: 11 A/D clocks, one fewer per CLKS
  // step, each CLKDIV + 1 peripheral clocks.
  static std::uint64_t conversion_pclks(std::uint32_t ad0cr);
  // Bits of a UART0 character under U0LCR before its stop bits: start, data and parity.
  static unsigned character_bits(std::uint8_t lcr);
  // Peripheral clocks of a UART0 character under U0LCR and the divisor latches: 16 for each
  // bit, the stop bits included (1, 2, or 1.5 for 5-bit words), times the divisor.
  static std::uint64_t character_pclks(std::uint8_t lcr, unsigned divisor);
  // With a clock: the processor clock count (as cclk_cycles()) at which the running SPI0
  // transfer, A/D conversion or UART0 character completes, so a poll can skip the reads that
  // cannot succeed. None while idle or without a clock.
  std::optional<std::uint64_t> transfer_done_at() const;
  std::optional<std::uint64_t> conversion_done_at() const;
  std::optional<std::uint64_t> character_done_at() const;

  // With a clock (the emulator), SPI transfers take 72 peripheral clocks, conversions 2816 and
  // the PLL needs time to lock; advance() moves time on by processor clocks. Without a clock
  // (the native runner) each completes by the first poll.
  void enable_clock();
  void advance(std::uint64_t cclk_cycles);
  std::uint64_t cclk_cycles() const;
  double cclk_hz() const;  // from crystal, PLL and its connection
  double pclk_hz() const;  // from cclk and VPBDIV
  std::uint8_t mamtim() const;
  std::uint8_t mamcr() const;
  std::uint8_t memmap() const;  // 0 boot loader, 1 user flash, 2 user RAM at address 0
  // The board's time in seconds from reset, as wire sinks are told it.
  double seconds() const;

  // A bound on the run in board time, for whoever runs the board with a clock to honour: it
  // ends the run once time_up(), wherever the program is (a firmware that never completes a
  // frame included).
  void set_time_limit(double seconds);
  std::optional<double> time_limit() const;
  bool time_up() const;
  // With a clock and a limit: the processor clock count at which the limit falls if the clock
  // keeps its present rate.
  std::optional<std::uint64_t> time_limit_cycles() const;

  std::uint64_t conversions() const;  // A/D conversions started so far
  // The processor clock count at which each complete LCD frame arrived (all 0 without a clock),
  // while history is kept.
  const std::vector<std::uint64_t>& frame_cycles() const;
  // Whether the LCD's words and frames and frame_cycles() are kept for reading after the run
  // (the default). Sinks get them either way.
  void keep_history(bool keep);
  void add_sink(LcdSink& sink);
  void add_wire_sink(WireSink& sink);
  void add_uart_sink(UartSink& sink);

  // Ends the run at the next register access (typically from a sink, as a frame completes): a
  // board without a clock throws Stopped; an emulator asks stop_requested(), stops there and
  // throws Stopped from its next call. Safe to call from a signal handler.
  void request_stop();
  bool stop_requested() const;

  LcdModel& lcd();
  const LcdModel& lcd() const;
  const std::vector<Finding>& findings() const;
  // Findings of whoever runs the board (the emulator's faults) join the board's own.
  void report(Finding f);
  // Names the code that made the accesses behind findings[first..]: the emulator knows it,
  // the board does not.
  void locate_findings(std::size_t first, const std::string& code);

 private:
  struct State;
  std::unique_ptr<State> s_;
};

}  // namespace sim
