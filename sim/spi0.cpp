// SPI0: transfer timing, SPIF and WCOL, and the word shifted out to the attached device.
#include "spi0.h"

#include "pin_connect.h"

namespace sim {

namespace {

constexpr unsigned kSpiDefaultBits = 8;  // BitEnable = 0
constexpr unsigned kSpiMaxBits = 16;     // BITS = 0
constexpr std::uint8_t kSpsrFlags = chip::S0SPSR_SPIF | chip::S0SPSR_WCOL;

using S = Spi0;

}  // namespace

const Register Spi0::kRegisters[] = {
    {LPCDEMO_REGISTER(S0SPCR), Access::ReadWrite, 0, 0xFFFF},
    {LPCDEMO_REGISTER(S0SPSR), Access::ReadOnly, 0, 0, reads(&S::read_status)},
    // MISO0 is not connected: reads give 0.
    {LPCDEMO_REGISTER(S0SPDR), Access::ReadWrite, 0, 0xFFFF, reads(&S::read_data),
     checks(&S::write_data)},
    {LPCDEMO_REGISTER(S0SPCCR), Access::ReadWrite, 0, 0xFF, nullptr, checks(&S::check_divider)},
};

Spi0::Spi0(Findings& findings, Clock& clock, const PinConnect& pins)
    : Peripheral(kRegisters, findings), clock_(clock), pins_(pins) {}

unsigned Board::spi_transfer_bits(std::uint16_t spcr) {
  if (!(spcr & chip::S0SPCR_BITENABLE)) return kSpiDefaultBits;
  const unsigned bits = (spcr >> chip::S0SPCR_BITS_SHIFT) & chip::S0SPCR_BITS_MASK;
  if (bits == 0) return kSpiMaxBits;
  return bits < kSpiDefaultBits ? 0 : bits;
}

bool Board::sck_divider_valid(std::uint8_t spccr) {
  return spccr >= chip::S0SPCCR_MIN && spccr % 2 == 0;
}

void Spi0::reset_state() {
  busy_ = spif_seen_ = to_device_ = false;
  done_at_ = 0;
  word_ = 0;
}

unsigned Spi0::bits() {
  const unsigned bits = Board::spi_transfer_bits(static_cast<std::uint16_t>(reg(kSpcr)));
  if (bits != 0) return bits;
  fail_once("spi-bits", kSpcr, reg(kSpcr), "reserved BITS value");
  return kSpiDefaultBits;
}

bool Spi0::routed() const {
  return pins_.function(chip::P0_SCK0) == chip::PINSEL_SPI0 &&
         pins_.function(chip::P0_MOSI0) == chip::PINSEL_SPI0;
}

void Spi0::refuse(const char* key, const std::string& why) {
  fail_once(key, kSpcr, reg(kSpcr), why);
}

bool Spi0::device_takes(unsigned bits) {
  if (device_ == nullptr) return false;
  bool ok = true;
  if (!routed()) {
    findings_.fail_once("spi-pins", pins_.pinsel0_register(), pins_.pinsel0(),
                        std::string("P0.4 and P0.6 are not SCK0 and MOSI0: the ") +
                            device_->name() + " sees no clock or data");
    ok = false;
  }
  const std::uint32_t spcr = reg(kSpcr);
  const SpiFormat format{.bits = bits,
                         .cpol = (spcr & chip::S0SPCR_CPOL) != 0,
                         .cpha = (spcr & chip::S0SPCR_CPHA) != 0,
                         .lsb_first = (spcr & chip::S0SPCR_LSBF) != 0};
  return device_->accepts(format, *this) && ok;
}

void Spi0::touch_data() {
  if (spif_seen_) set_reg(kSpsr, reg(kSpsr) & ~std::uint32_t{kSpsrFlags});
  spif_seen_ = false;
}

std::uint32_t Spi0::read_data(const Register&, std::uint32_t) {
  touch_data();
  return 0;
}

std::uint32_t Spi0::write_data(const Register& r, std::uint32_t v) {
  touch_data();
  if (busy_) {
    set_reg(kSpsr, reg(kSpsr) | chip::S0SPSR_WCOL);
    findings_.fail(r, v, "written while a transfer is in progress: WCOL set, word lost");
    return v;
  }
  if (!(reg(kSpcr) & chip::S0SPCR_MSTR)) {
    findings_.fail(r, v, "written with S0SPCR.MSTR = 0: a slave sends nothing by itself");
    return v;
  }
  if (reg(kSpsr) & chip::S0SPSR_SPIF) {
    findings_.fail_once("spif-stale", r, v,
                        "written with SPIF still set (S0SPSR not read since the last transfer): "
                        "SPIF cannot tell when this word is out");
  }
  const auto spccr = static_cast<std::uint8_t>(reg(kSpccr));
  if (!Board::sck_divider_valid(spccr)) {
    fail_once("spccr", kSpccr, spccr, "must be even and at least 8");
  }
  const unsigned n = bits();
  to_device_ = device_takes(n);
  word_ = static_cast<std::uint16_t>(v & width_mask(n));
  busy_ = true;
  const unsigned sck_divider = spccr < chip::S0SPCCR_MIN ? chip::S0SPCCR_MIN : spccr;
  done_at_ = clock_.pclk + std::uint64_t{n} * sck_divider;
  if (!routed() || !clock_.times_wire_events()) return v;  // the pins show nothing of it
  const double bit_ns = sck_divider * kNsPerSecond / clock_.pclk_hz();
  const double ns = clock_.wire_event(n * bit_ns);
  for (WireSink* s : clock_.wire_sinks) s->transfer(ns, word_, n, bit_ns);
  return v;
}

void Spi0::finish_transfer() {
  busy_ = false;
  set_reg(kSpsr, reg(kSpsr) | chip::S0SPSR_SPIF);
  if (to_device_) device_->receive(word_);
}

std::uint32_t Spi0::read_status(const Register&, std::uint32_t) {
  if (busy_ && !clock_.clocked) finish_transfer();
  if (reg(kSpsr) & chip::S0SPSR_SPIF) spif_seen_ = true;
  return reg(kSpsr);
}

std::uint32_t Spi0::check_divider(const Register& r, std::uint32_t v) {
  if (!Board::sck_divider_valid(static_cast<std::uint8_t>(v))) {
    findings_.fail(r, v, "must be even and at least 8");
  }
  return v;
}

}  // namespace sim
