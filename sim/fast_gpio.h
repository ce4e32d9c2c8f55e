// Fast GPIO of port 0, and the lines it drives: the LCD's select (P0.7) and reset (P0.8), and
// P0.9, as wire sinks see them.
#pragma once

#include <cstdint>

#include "clock.h"
#include "registers.h"
#include "sim/lcd_model.h"

namespace sim {

class PinConnect;
class SystemControl;

class FastGpio : public Peripheral {
 public:
  enum : std::size_t { kDir, kMask, kPin, kSet, kClr };
  static const Register kRegisters[kClr + 1];
  // The port-0 lines wire sinks watch besides SPI0's, pulled up at reset.
  static constexpr std::uint32_t kWireLines = chip::P0_LCD_CS | chip::P0_LCD_RESET | chip::P0_AUX;

  FastGpio(Findings& findings, Clock& clock, const PinConnect& pins, const SystemControl& scs);
  void connect(LcdModel& lcd) { lcd_ = &lcd; }

  // The lines again, after a change of the registers that decide them.
  void update_lines();

 private:
  void reset_state() override { wire_lines_ = kWireLines; }
  std::uint32_t pin_level(std::uint32_t pin) const;
  void report_lines();
  std::uint32_t open() const { return ~reg(kMask); }  // masked pins ignore SET, CLR and PIN
  void check_mode(const Register& r, std::uint32_t v);

  std::uint32_t read_checked(const Register& r, std::uint32_t stored);
  std::uint32_t read_pin(const Register& r, std::uint32_t stored);
  std::uint32_t check_write(const Register& r, std::uint32_t v);
  std::uint32_t write_pin(const Register& r, std::uint32_t v);
  std::uint32_t write_set(const Register& r, std::uint32_t v);
  void write_clr(const Register& r, std::uint32_t v);
  void lines_written(const Register& r, std::uint32_t v);

  Clock& clock_;
  const PinConnect& pins_;
  const SystemControl& scs_;
  LcdModel* lcd_ = nullptr;
  std::uint32_t wire_lines_ = kWireLines;
};

}  // namespace sim
