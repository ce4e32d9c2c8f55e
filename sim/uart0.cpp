// UART0: the divisor latches, the 16-byte transmit FIFO and shift register, THRE and TEMT at
// the clocks the divisor and line control give, and the characters on TXD0.
//
// The transmitter takes a byte from the FIFO as soon as the shift register is free, so THRE is
// set again as the first byte written to an idle UART starts; TEMT is set when the last stop
// bit ends. Nothing drives RXD0: U0LSR.RDR stays 0. The THRE interrupt is pending from the
// moment the FIFO empties until U0IIR shows it or U0THR is written (the manual's one-character
// delay after a single byte is left out); this board's VIC delivers no UART0 interrupt.
// A character sent while P0.0 is not TXD0 takes its time but leaves no pin: it reaches no sink,
// and the first one is a finding.
#include "uart0.h"

#include <bit>

#include "pin_connect.h"

namespace sim {

namespace {

// The other names of the shared addresses, for findings.
const Register kThr{LPCDEMO_REGISTER(U0THR), Access::WriteOnly, 0, 0xFF};

using U = Uart0;

// The parity bit under U0LCR for data with `ones` bits set: odd, even, forced 1 or forced 0.
bool parity_bit(std::uint8_t lcr, int ones) {
  switch ((lcr >> chip::U0LCR_PARITY_SHIFT) & chip::U0LCR_PARITY_MASK) {
    case 0:
      return ones % 2 == 0;
    case 1:
      return ones % 2 == 1;
    case 2:
      return true;
    default:
      return false;
  }
}

}  // namespace

const Register Uart0::kRegisters[] = {
    {LPCDEMO_REGISTER(U0RBR), Access::ReadWrite, 0, 0, reads(&U::read_data),
     checks(&U::write_data)},
    {LPCDEMO_REGISTER(U0IER), Access::ReadWrite, 0, 0, reads(&U::read_enable),
     checks(&U::write_enable)},
    {LPCDEMO_REGISTER(U0IIR), Access::ReadWrite, chip::U0IIR_NONE_PENDING, 0,
     reads(&U::read_identification), checks(&U::write_fifo_control)},
    {LPCDEMO_REGISTER(U0LCR), Access::ReadWrite, 0, 0xFF},
    {LPCDEMO_REGISTER(U0LSR), Access::ReadOnly, chip::U0LSR_RESET, 0, reads(&U::read_status)},
    {LPCDEMO_REGISTER(U0SCR), Access::ReadWrite, 0, 0xFF},
    {LPCDEMO_REGISTER(U0TER), Access::ReadWrite, chip::U0TER_TXEN, chip::U0TER_TXEN, nullptr,
     nullptr, then(&U::ter_written)},
};

Uart0::Uart0(Findings& findings, Clock& clock, const PinConnect& pins)
    : Peripheral(kRegisters, findings), clock_(clock), pins_(pins) {}

unsigned Board::character_bits(std::uint8_t lcr) {
  const unsigned data = chip::U0LCR_WORD_MIN + (lcr & chip::U0LCR_WORD_MASK);
  return 1 + data + ((lcr & chip::U0LCR_PARITY) ? 1 : 0);
}

std::uint64_t Board::character_pclks(std::uint8_t lcr, unsigned divisor) {
  // In sixteenths of a bit, the rate at which the UART samples: 1.5 stop bits for 5-bit words
  // with the second stop bit selected.
  constexpr unsigned kBit = chip::U0_SAMPLES_PER_BIT;
  const bool two = (lcr & chip::U0LCR_STOP2) != 0;
  const bool five = (lcr & chip::U0LCR_WORD_MASK) == 0;
  const unsigned stop = !two ? kBit : five ? kBit + kBit / 2 : 2 * kBit;
  return std::uint64_t{character_bits(lcr) * kBit + stop} * divisor;
}

void Uart0::reset_state() {
  fifo_.clear();
  dll_ = chip::U0DLL_RESET;
  dlm_ = ier_ = 0;
  fifo_enabled_ = busy_ = to_pin_ = thre_interrupt_ = false;
  shifting_ = 0;
  done_at_ = 0;
}

bool Uart0::routed() const {
  return pins_.function(chip::P0_TXD0) == chip::PINSEL_UART0;
}

unsigned Uart0::divisor() const {
  const unsigned d = static_cast<unsigned>(dlm_) << 8 | dll_;
  return d == 0 ? 1 : d;  // the manual takes 0 as 1
}

void Uart0::start_character(std::uint64_t at) {
  const auto lcr = static_cast<std::uint8_t>(reg(kLcr));
  const unsigned data = chip::U0LCR_WORD_MIN + (lcr & chip::U0LCR_WORD_MASK);
  shifting_ = static_cast<std::uint8_t>(fifo_.front() & width_mask(data));
  fifo_.pop_front();
  if (fifo_.empty()) thre_interrupt_ = true;
  busy_ = true;
  to_pin_ = routed();
  const std::uint64_t length = Board::character_pclks(lcr, divisor());
  done_at_ = at + length;
  if (!to_pin_) {
    findings_.fail_once("uart-pins", pins_.pinsel0_register(), pins_.pinsel0(),
                        "P0.0 is not TXD0: UART0's characters leave no pin");
    return;
  }
  if (!clock_.times_wire_events()) return;
  // The line's levels from the start bit on, least significant data bit first.
  const unsigned bits = Board::character_bits(lcr);
  auto levels = static_cast<std::uint16_t>(shifting_ << 1);
  if (lcr & chip::U0LCR_PARITY && parity_bit(lcr, std::popcount(shifting_))) {
    levels |= static_cast<std::uint16_t>(1u << (bits - 1));
  }
  const double pclk_ns = kNsPerSecond / clock_.pclk_hz();
  const double bit_ns = chip::U0_SAMPLES_PER_BIT * divisor() * pclk_ns;
  // A character that follows another starts where that one's stop bits end, which a later
  // access may be the first to see.
  const double ns = !clock_.clocked    ? clock_.wire_event(static_cast<double>(length) * pclk_ns)
                    : at < clock_.pclk ? clock_.wire_ns_at(at)
                                       : clock_.wire_ns();
  for (WireSink* s : clock_.wire_sinks) s->character(ns, levels, bits, bit_ns);
}

void Uart0::finish_character() {
  busy_ = false;
  if (to_pin_) {
    for (UartSink* s : sinks_) s->byte(shifting_);
  }
  // The next character follows the last stop bit directly.
  if (!fifo_.empty() && transmitter_enabled()) start_character(done_at_);
}

void Uart0::finish_characters() {
  while (busy_ && clock_.pclk >= done_at_) finish_character();
}

void Uart0::clear_fifo() {
  if (!fifo_.empty()) thre_interrupt_ = true;
  fifo_.clear();
}

std::uint32_t Uart0::read_data(const Register&, std::uint32_t) {
  if (dlab()) return dll_;
  fail_once("uart-rbr", kRbr, 0,
            "read with nothing received (U0LSR.RDR = 0): nothing drives RXD0 on this board");
  return 0;
}

std::uint32_t Uart0::write_data(const Register&, std::uint32_t v) {
  if (dlab()) {
    dll_ = static_cast<std::uint8_t>(v);
    return v;
  }
  thre_interrupt_ = false;  // writing U0THR clears a pending THRE interrupt
  const std::size_t depth = fifo_enabled_ ? chip::U0_FIFO_BYTES : 1;
  if (!fifo_enabled_) {
    findings_.fail_once("uart-fifo", kThr, v,
                        "written with U0FCR's FIFO Enable clear: the manual requires it for "
                        "proper UART0 operation");
  }
  if (fifo_.size() >= depth) {
    findings_.fail(kThr, v,
                   "written with the transmit FIFO full (" + std::to_string(depth) +
                       (depth == 1 ? " byte" : " bytes") + "): byte lost");
    return v;
  }
  fifo_.push_back(static_cast<std::uint8_t>(v));
  if (!busy_ && transmitter_enabled()) start_character(clock_.pclk);
  return v;
}

std::uint32_t Uart0::read_enable(const Register&, std::uint32_t) {
  return dlab() ? dlm_ : ier_;
}

std::uint32_t Uart0::write_enable(const Register&, std::uint32_t v) {
  if (dlab()) {
    dlm_ = static_cast<std::uint8_t>(v);
  } else {
    ier_ = static_cast<std::uint8_t>(v & chip::U0IER_MASK);
  }
  return v;
}

std::uint32_t Uart0::read_identification(const Register&, std::uint32_t) {
  const std::uint8_t fifo = fifo_enabled_ ? chip::U0IIR_FIFO_ENABLED : 0;
  // Nothing is received, so THRE is the only interrupt there can be; showing it clears it.
  if (thre_interrupt_ && (ier_ & chip::U0IER_THRE)) {
    thre_interrupt_ = false;
    return fifo | (chip::U0IIR_INTID_THRE << chip::U0IIR_INTID_SHIFT);
  }
  return fifo | chip::U0IIR_NONE_PENDING;
}

std::uint32_t Uart0::write_fifo_control(const Register&, std::uint32_t v) {
  const bool enable = (v & chip::U0FCR_FIFO_ENABLE) != 0;
  if (enable != fifo_enabled_) clear_fifo();  // any change of FIFO Enable empties the FIFOs
  fifo_enabled_ = enable;
  // The other bits act only with FIFO Enable set; nothing is ever received to reset.
  if (enable && (v & chip::U0FCR_TX_RESET)) clear_fifo();
  return v;
}

std::uint32_t Uart0::read_status(const Register&, std::uint32_t) {
  if (busy_ && !clock_.clocked) finish_character();  // without a clock, a poll ends a character
  std::uint32_t lsr = 0;
  if (fifo_.empty()) lsr |= chip::U0LSR_THRE;
  if (fifo_.empty() && !busy_) lsr |= chip::U0LSR_TEMT;
  return lsr;
}

void Uart0::ter_written(const Register&, std::uint32_t) {
  // TXEN = 0 lets the character on the line finish and holds the rest in the FIFO.
  if (transmitter_enabled() && !busy_ && !fifo_.empty()) start_character(clock_.pclk);
}

}  // namespace sim
