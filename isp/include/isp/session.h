// The LPC2138's boot loader on a pseudo-terminal, as a host such as lpc21isp meets the board
// before `make flash`: it answers until the host starts the programmed code with G, saying on
// the way what a user would want to know (where it listens, a crystal other than the board's,
// a G the boot check refuses).
#pragma once

#include <cstdint>
#include <filesystem>
#include <ostream>

#include "isp/boot_loader.h"
#include "isp/pseudo_terminal.h"
#include "sim/board.h"

namespace isp {

// SIGINT or SIGTERM came while the session waited for the host, or before the run took them
// over: serve() throws it, interrupted() says so.
struct Interrupted {
  int signal;
};

// Once the programmed code runs, what its UART0 sends goes to the port, as on the board's one
// wire: `lpc21isp -term` shows it. A host that reads nothing loses what its port cannot hold.
class Session final : public sim::UartSink {
 public:
  // Makes the port (sim::Refusal when it cannot be made) and says where it listens. From here
  // until the session goes, SIGINT and SIGTERM end it (a second one the process, at once), so
  // that the port's link goes with it.
  Session(std::filesystem::path port, std::uint32_t crystal_khz, std::ostream& out);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Answers the host until it starts the programmed code from reset (G 0 A) and returns what it
  // programmed. Throws std::runtime_error for a G anywhere else: a rehearsal boots from reset
  // only. The port stays open until the session goes, as the host may still be reading the
  // answer to G. A host that closes the port before G resets the chip into its boot loader
  // (as lpc21isp's reset line would on a board), ready for the next one; the session says so.
  // Throws Interrupted for SIGINT or SIGTERM.
  const Flash& serve();
  // The signal that came since serve() returned; 0 while none has.
  int interrupted() const;

  void byte(std::uint8_t byte) override;

 private:
  // Installed before the port is made, restored after it has gone.
  class TakesSignals {
   public:
    TakesSignals();
    ~TakesSignals();
    TakesSignals(const TakesSignals&) = delete;
    TakesSignals& operator=(const TakesSignals&) = delete;
  } signals_;
  PseudoTerminal port_;
  std::uint32_t crystal_khz_;
  std::ostream& out_;
  BootLoader loader_;
};

}  // namespace isp
