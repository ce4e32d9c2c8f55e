// UART0: the divisor latches, the 16-byte transmit FIFO and shift register, THRE and TEMT at
// the clocks the divisor and line control give, and the characters on TXD0.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "clock.h"
#include "registers.h"

namespace sim {

class PinConnect;

class Uart0 : public Peripheral {
 public:
  // One entry per address: U0RBR's stands for U0THR and U0DLL too, U0IER's for U0DLM, U0IIR's
  // for U0FCR; the side effects choose by DLAB and by the direction of the access.
  enum : std::size_t { kRbr, kIer, kIir, kLcr, kLsr, kScr, kTer };
  static const Register kRegisters[kTer + 1];

  Uart0(Findings& findings, Clock& clock, const PinConnect& pins);
  void add_sink(UartSink& sink) { sinks_.push_back(&sink); }

  // Completes the characters whose stop bits have ended; inline, as every access begins with it.
  void catch_up() {
    if (busy_ && clock_.pclk >= done_at_) finish_characters();
  }
  // The processor clock count at which the character on the line ends (and THRE or TEMT may
  // change); none while the transmitter is idle or without a clock.
  std::optional<std::uint64_t> done_at() const {
    if (!clock_.clocked || !busy_) return std::nullopt;
    return clock_.cclk_when(done_at_);
  }

 private:
  void reset_state() override;

  bool dlab() const { return (reg(kLcr) & chip::U0LCR_DLAB) != 0; }
  bool transmitter_enabled() const { return (reg(kTer) & chip::U0TER_TXEN) != 0; }
  bool routed() const;  // P0.0 is TXD0
  unsigned divisor() const;
  // Takes the next byte from the FIFO into the shift register at peripheral clock `at`.
  void start_character(std::uint64_t at);
  void finish_character();
  void finish_characters();
  void clear_fifo();

  std::uint32_t read_data(const Register& r, std::uint32_t stored);
  std::uint32_t write_data(const Register& r, std::uint32_t v);
  std::uint32_t read_enable(const Register& r, std::uint32_t stored);
  std::uint32_t write_enable(const Register& r, std::uint32_t v);
  std::uint32_t read_identification(const Register& r, std::uint32_t stored);
  std::uint32_t write_fifo_control(const Register& r, std::uint32_t v);
  std::uint32_t read_status(const Register& r, std::uint32_t stored);
  void ter_written(const Register& r, std::uint32_t v);

  Clock& clock_;
  const PinConnect& pins_;
  std::vector<UartSink*> sinks_;
  std::deque<std::uint8_t> fifo_;  // U0THR's bytes waiting for the shift register
  std::uint8_t dll_ = chip::U0DLL_RESET, dlm_ = 0, ier_ = 0;
  bool fifo_enabled_ = false;
  bool busy_ = false;    // a character is on the line
  bool to_pin_ = false;  // and P0.0 was TXD0 as it started
  bool thre_interrupt_ = false;
  std::uint8_t shifting_ = 0;  // its data bits
  std::uint64_t done_at_ = 0;  // peripheral clocks: the end of its last stop bit
};

}  // namespace sim
