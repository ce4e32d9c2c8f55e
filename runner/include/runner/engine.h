// An engine runs the firmware against a board model: natively (the host build of the firmware
// sources) or emulated (the cross-built image on an emulated core). The runner drives either
// through the firmware's own entry points, named as in the image's symbol table.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>

#include "sim/board.h"

namespace runner {

class Engine {
 public:
  virtual ~Engine() = default;
  // Calls a firmware function with C linkage by name; integer arguments in order.
  virtual void call(std::string_view symbol, std::initializer_list<std::int32_t> args = {}) = 0;
  // Runs the image's main until it halts.
  virtual void run_main() = 0;
  // Whether call() can reach this function.
  virtual bool has(std::string_view symbol) const = 0;
  // Where the program is, as findings name code: "0x000001f4 (idle+0x4)"; empty from an engine
  // that cannot tell.
  virtual std::string location() const;
  // Asked from a signal handler, after the board's request_stop(): an engine that can run
  // without touching the board (an emulated core in a loop) stops soon, wherever the program
  // is. Async-signal-safe. The native engine stops at the board's next access, and needs none.
  virtual void interrupt() noexcept {}

  // Profiling, by an engine that counts the chip's clocks (the emulated one): from here on,
  // where every clock goes. An engine that counts none refuses it with sim::Refusal.
  virtual void record_profile();
  // Once a run is complete: what was recorded, in callgrind's format, `command` naming the run;
  // returns what the engine counted over it ("N clocks, M instructions"). Throws
  // std::runtime_error when nothing was recorded or the file cannot be written.
  virtual std::string write_profile(const std::string& path, const std::string& command) const;
};

// Runs the host build of the firmware with `board` installed as the register bus.
std::unique_ptr<Engine> make_native_engine(sim::Board& board);

}  // namespace runner
