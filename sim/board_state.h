// The board model's state, shared by the files that model its peripherals.
#pragma once

#include <atomic>
#include <bit>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "hw/lpc2138.h"
#include "sim/board.h"

namespace sim {

namespace L = lpc2138;

namespace board_detail {

struct RegInfo;

constexpr std::uint32_t width_mask(unsigned width) {
  return width >= 32 ? 0xFFFFFFFFu : (1u << width) - 1;
}

// The function a port-0 pin of P0.0-P0.15 has in PINSEL0.
constexpr unsigned pinsel_function(std::uint32_t pinsel0, std::uint32_t pin_mask) {
  const unsigned shift = L::PINSEL_FIELD_BITS * static_cast<unsigned>(std::countr_zero(pin_mask));
  return (pinsel0 >> shift) & L::PINSEL_FIELD_MASK;
}

constexpr double kNsPerSecond = 1e9;

// The port-0 lines wire sinks watch besides SPI0's, pulled up at reset.
constexpr std::uint32_t kWireLines = L::P0_LCD_CS | L::P0_LCD_RESET | L::P0_AUX;

}  // namespace board_detail

struct Board::State {
  std::unique_ptr<AudioSource> audio;
  LcdModel lcd;
  std::vector<Finding> findings;
  std::set<std::string> reported_once;
  std::size_t lcd_findings_taken = 0;
  std::size_t suppressed = 0;

  // Time: processor clocks, and the peripheral and crystal clocks they make.
  bool clocked = false;
  std::uint64_t cclk = 0, pclk = 0, xtal = 0;
  std::uint64_t pclk_rest = 0, xtal_rest = 0;
  std::uint64_t xtal_counted_to = 0;  // crystal clocks are counted up to this processor clock

  // System control.
  std::uint8_t memmap = 0, mamcr = L::MAMCR_OFF, mamtim = L::MAMTIM_MAX;
  std::uint8_t pllcon = 0, pllcfg = 0, pllcon_now = 0, pllcfg_now = 0;
  bool feed_armed = false, locked = false;
  std::uint64_t lock_at = 0;  // crystal clocks
  std::uint8_t vpbdiv = L::VPBDIV_PCLK_QUARTER;
  std::uint32_t scs = 0;

  // Pins.
  std::uint32_t pinsel0 = 0, pinsel1 = 0, fiodir = 0, fiomask = 0, fiolatch = 0;

  // SPI0.
  std::uint16_t spcr = 0;
  std::uint8_t spccr = 0, spsr = 0;
  bool spi_busy = false, spif_seen = false, spi_to_lcd = false;
  std::uint64_t spi_done_at = 0;  // peripheral clocks
  std::uint16_t spi_word = 0;

  // ADC0.
  std::uint32_t adcr = L::AD0CR_RESET;
  bool adc_busy = false, adc_done = false, result_seen = true, ever_converted = false;
  unsigned idle_reads = 0;
  std::uint64_t adc_done_at = 0;  // peripheral clocks
  std::uint32_t adc_pending = 0, adc_result = 0, adc_channel = 0, adc_pending_channel = 0;
  std::uint64_t conversions = 0;
  std::vector<std::uint64_t> frame_cclk;  // when each LCD frame completed, while kept
  bool keep_history = true;
  std::atomic<bool> stop_requested = false;  // set from a signal handler too
  std::vector<LcdSink*> sinks;
  std::vector<WireSink*> wire_sinks;
  std::uint32_t wire_lines = board_detail::kWireLines;
  // Wire sinks' time: with a clock, the time and processor clock count at the clock's last
  // change of rate; without one, the nominal time so far.
  double rate_since_ns = 0;
  std::uint64_t rate_since_cclk = 0;
  double nominal_ns = 0;
  std::uint64_t accesses_since_frame = 0;

  // Findings.
  void add(Finding f);
  void fail(std::uint32_t addr, std::uint32_t value, const std::string& message);
  // For faults that would otherwise repeat on every word or sample.
  void fail_once(const std::string& key, std::uint32_t addr, std::uint32_t value,
                 const std::string& message);
  // Checked after every access, so the usual case, nothing new, is inline.
  void take_lcd_findings(std::uint32_t addr) {
    if (lcd.findings().size() != lcd_findings_taken) take_new_lcd_findings(addr);
  }
  void take_new_lcd_findings(std::uint32_t addr);

  // Clocks.
  bool pll_enabled() const { return pllcon_now & L::PLLCON_PLLE; }
  bool pll_connected() const { return pll_enabled() && (pllcon_now & L::PLLCON_PLLC); }
  unsigned multiplier(std::uint8_t cfg) const { return (cfg & L::PLLCFG_MSEL_MASK) + 1u; }
  unsigned divider(std::uint8_t cfg) const;
  double cclk_hz() const;
  unsigned pclk_divider() const;
  double pclk_hz() const { return cclk_hz() / pclk_divider(); }

  void advance(std::uint64_t cycles);
  // Brings xtal up to the processor clock count, where it is needed.
  void count_xtal();
  // The processor clock count at which the peripheral clock count reaches pclk_at.
  std::uint64_t cclk_when(std::uint64_t pclk_at) const;

  double wire_ns() const;
  // The time of an event that occupies the wire for `length_ns`, by which a board without a
  // clock moves its nominal time on.
  double wire_event(double length_ns);
  // Whether an event's time matters: for a wire sink, or to move a board without a clock on.
  // Working it out costs divisions the emulator would otherwise pay on every word.
  bool times_wire_events() const { return !clocked || !wire_sinks.empty(); }

  // Finishes whatever the clock has completed by now; inline, as every access and every
  // advance begins with it.
  void catch_up() {
    if (!clocked) {
      count_unclocked_access();
      return;
    }
    if (pll_enabled() && !locked) {
      count_xtal();
      if (xtal >= lock_at) locked = true;
    }
    if (spi_busy && pclk >= spi_done_at) finish_transfer();
    if (adc_busy && pclk >= adc_done_at) finish_conversion();
  }
  // Without a clock, time moves on by a nominal clock per access.
  void count_unclocked_access();

  // System control: memory map, accelerator, PLL.
  void check_mamtim();
  void check_pll_frequencies();
  void feed();
  void write_feed(std::uint8_t v);
  std::uint16_t read_pllstat();
  void write_mamcr(std::uint8_t v);
  void write_mamtim(std::uint8_t v);

  // Pins and fast GPIO.
  std::uint32_t pin_level(std::uint32_t pin) const;
  void update_lcd_lines();
  void report_lines();
  void check_fast_gpio(std::uint32_t addr, std::uint32_t v);
  std::uint32_t read_fiopin() const;

  // SPI0.
  unsigned spi_bits();
  bool spi_routed() const;  // P0.4 and P0.6 are SCK0 and MOSI0

  // Whether the LCD can take this word: its lines routed and its 9-bit mode 3 format.
  bool lcd_can_see(unsigned bits);
  void touch_spdr();
  void write_spdr(std::uint16_t v);
  void finish_transfer();
  std::uint8_t read_spsr();

  // ADC0.
  void write_adcr(std::uint32_t v);
  void start_conversion();
  void finish_conversion();
  std::uint32_t read_adgdr();

  // A read with nothing running: the one result read after DONE is fine, anything else is not.
  void idle_read(std::uint32_t value);

  // Register dispatch.
  std::uint32_t read(std::uint32_t addr);
  void write_fio(std::uint32_t addr, std::uint32_t v);
  void write(std::uint32_t addr, std::uint32_t v);

  // Width and existence checks shared by reads and writes; the access goes ahead regardless.
  const board_detail::RegInfo* check(std::uint32_t addr, unsigned width, std::uint32_t value,
                                     const char* what);
  // The findings of an access check() turns down, apart so that check() stays small.
  void bad_access(const board_detail::RegInfo* r, std::uint32_t addr, unsigned width,
                  std::uint32_t value, const char* what);

  // Any APB access other than the second feed write breaks a feed in progress.
  void check_feed(std::uint32_t addr, bool is_feed_write) {
    if (feed_armed && !is_feed_write && L::in_region(addr, L::APB_BASE, L::APB_SIZE)) {
      abort_feed(addr);
    }
  }
  void abort_feed(std::uint32_t addr);
};

}  // namespace sim
