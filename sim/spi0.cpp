// SPI0 as the LCD's link: transfer timing, SPIF and WCOL, and whether the LCD can take a word.
#include "board_state.h"

#include "sim/format.h"

namespace sim {

using namespace board_detail;

namespace {

constexpr unsigned kLcdWordBits = 9;
constexpr unsigned kSpiDefaultBits = 8;  // BitEnable = 0
constexpr unsigned kSpiMaxBits = 16;     // BITS = 0

}  // namespace

unsigned Board::spi_transfer_bits(std::uint16_t spcr) {
  if (!(spcr & L::S0SPCR_BITENABLE)) return kSpiDefaultBits;
  const unsigned bits = (spcr >> L::S0SPCR_BITS_SHIFT) & L::S0SPCR_BITS_MASK;
  if (bits == 0) return kSpiMaxBits;
  return bits < kSpiDefaultBits ? 0 : bits;
}

bool Board::sck_divider_valid(std::uint8_t spccr) {
  return spccr >= L::S0SPCCR_MIN && spccr % 2 == 0;
}

unsigned Board::State::spi_bits() {
  const unsigned bits = spi_transfer_bits(spcr);
  if (bits != 0) return bits;
  fail_once("spi-bits", L::S0SPCR.addr, spcr, "reserved BITS value");
  return kSpiDefaultBits;
}

bool Board::State::spi_routed() const {
  return pinsel_function(pinsel0, L::P0_SCK0) == L::PINSEL_SPI0 &&
         pinsel_function(pinsel0, L::P0_MOSI0) == L::PINSEL_SPI0;
}

bool Board::State::lcd_can_see(unsigned bits) {
  bool ok = true;
  if (!spi_routed()) {
    fail_once("spi-pins", L::PINSEL0.addr, pinsel0,
              "P0.4 and P0.6 are not SCK0 and MOSI0: the LCD sees no clock or data");
    ok = false;
  }
  if (bits != kLcdWordBits) {
    fail_once("spi-width", L::S0SPCR.addr, spcr,
              std::to_string(bits) + "-bit transfers: the LCD takes 9-bit words");
    ok = false;
  }
  if (spcr & L::S0SPCR_LSBF) {
    fail_once("spi-lsbf", L::S0SPCR.addr, spcr,
              "least significant bit first: the LCD takes the flag bit first");
    ok = false;
  }
  if (!(spcr & L::S0SPCR_CPOL) || !(spcr & L::S0SPCR_CPHA)) {
    fail_once("spi-mode", L::S0SPCR.addr, spcr,
              "CPOL and CPHA must both be 1: the LCD samples on the rising edge of a clock "
              "that idles high");
    ok = false;
  }
  return ok;
}

void Board::State::touch_spdr() {
  if (spif_seen) spsr &= static_cast<std::uint8_t>(~(L::S0SPSR_SPIF | L::S0SPSR_WCOL));
  spif_seen = false;
}

void Board::State::write_spdr(std::uint16_t v) {
  touch_spdr();
  if (spi_busy) {
    spsr |= L::S0SPSR_WCOL;
    fail(L::S0SPDR.addr, v, "written while a transfer is in progress: WCOL set, word lost");
    return;
  }
  if (!(spcr & L::S0SPCR_MSTR)) {
    fail(L::S0SPDR.addr, v, "written with S0SPCR.MSTR = 0: a slave sends nothing by itself");
    return;
  }
  if (spsr & L::S0SPSR_SPIF) {
    fail_once("spif-stale", L::S0SPDR.addr, v,
              "written with SPIF still set (S0SPSR not read since the last transfer): "
              "SPIF cannot tell when this word is out");
  }
  if (!sck_divider_valid(spccr)) {
    fail_once("spccr", L::S0SPCCR.addr, spccr, "must be even and at least 8");
  }
  const unsigned bits = spi_bits();
  spi_to_lcd = lcd_can_see(bits);
  spi_word = static_cast<std::uint16_t>(v & width_mask(bits));
  spi_busy = true;
  const unsigned sck_divider = spccr < L::S0SPCCR_MIN ? L::S0SPCCR_MIN : spccr;
  spi_done_at = pclk + std::uint64_t{bits} * sck_divider;
  if (!spi_routed() || !times_wire_events()) return;  // the pins show nothing of it
  const double bit_ns = sck_divider * kNsPerSecond / pclk_hz();
  const double ns = wire_event(bits * bit_ns);
  for (WireSink* s : wire_sinks) s->transfer(ns, spi_word, bits, bit_ns);
}

void Board::State::finish_transfer() {
  spi_busy = false;
  spsr |= L::S0SPSR_SPIF;
  if (!spi_to_lcd) return;  // only 9-bit words get this far
  const std::size_t words = lcd.word_count(), frames = lcd.frame_count();
  lcd.receive(spi_word);
  if (lcd.word_count() != words) {
    for (LcdSink* s : sinks) s->word(lcd.last_word());
  }
  if (lcd.frame_count() != frames) {
    if (keep_history) frame_cclk.push_back(cclk);
    accesses_since_frame = 0;
    for (LcdSink* s : sinks) s->frame(lcd.last_frame(), cclk, cclk_hz());
  }
}

std::uint8_t Board::State::read_spsr() {
  if (spi_busy && !clocked) finish_transfer();
  if (spsr & L::S0SPSR_SPIF) spif_seen = true;
  return spsr;
}

}  // namespace sim
