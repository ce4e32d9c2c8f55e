// A run as the command line asks for it, whichever engine goes and whatever shows it: the
// outputs attached to the board and finished when the run completes, the frame cap, SIGINT and
// SIGTERM ending it, the engine's profile, the summary and the findings, and the exit status.
// `run`, `view`, `isp` and a run under GDB all go through one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "runner/engine.h"
#include "runner/sinks.h"
#include "runner/vcd.h"
#include "sim/board.h"

namespace runner {

// What a session runs.
struct Plan {
  std::string sequence = "demo";  // demo, showcase or one effect (run.h)
  // The run ends once the LCD has completed this many frames, on either engine and whatever
  // the sequence: the image's own main would otherwise go on to its own end, or never halt.
  int frames = 100;
  std::int32_t start = 0;
  std::string name;  // the run in its summary line, e.g. "plasma (native)"
};

// What a run writes; each one empty when not asked for.
struct Outputs {
  std::string words;            // every LCD word (WordLog)
  std::string png_dir;          // one PNG a frame (PngFrames)
  std::string gif;              // the frames at the pace they came (GifAnimation)
  std::string vcd;              // the pins as a logic analyser sees them (VcdTrace)
  std::string uart;             // UART0's bytes (UartLog): a file, or "-" for `out`
  std::string profile;          // where the clocks went, from an engine that counts them
  std::string profile_command;  // names the run in the profile
  int scale = 4;                // pixel size in the PNGs and the GIF
};

// Asks the board to stop as the LCD completes frame `limit`: the run ends there on either
// engine (sim::Board::request_stop).
class FrameCap final : public sim::LcdSink {
 public:
  FrameCap(sim::Board& board, std::size_t limit) : board_(board), limit_(limit) {}
  void word(std::uint16_t) override {}
  void frame(const sim::LcdFrame&, std::uint64_t, double) override;

 private:
  sim::Board& board_;
  std::size_t limit_;
  std::size_t frames_ = 0;
};

class Session {
 public:
  // Summary and profile lines go to `out`, findings and the end by a signal to `err`. Refuses
  // (sim::Refusal) an output that cannot be written, before anything is made.
  Session(Plan plan, Outputs outputs, std::ostream& out, std::ostream& err);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // The board and the engine the run goes on. Refuses (sim::Refusal) a sequence the engine
  // cannot play; a profile asked for is recorded from here on.
  void prepare(sim::Board& board, Engine& engine);

  // A sink the caller keeps (the live window), fed as the outputs are; `after` runs once the
  // summary is out (the window holds its last frame). With `takes_signals`, the sink answers
  // SIGINT and SIGTERM itself (as closing the window) and the session leaves them to it.
  void show(sim::LcdSink& sink, std::function<void()> after, bool takes_signals);
  // The run ends after this much board time if it has not ended before, saying where the
  // program was (sim::Board::set_time_limit): on an engine with a clock. Before prepare().
  void limit_board_time(double seconds) { board_seconds_ = seconds; }
  // A sink the caller keeps (the boot loader's port) for UART0's bytes, fed as the outputs are.
  void add_uart_sink(sim::UartSink& sink);

  // Makes the outputs and runs the plan on the prepared engine. A run that completes (the
  // sequence's end, the frame cap, the board time asked for, a window closed) gives the outputs
  // their names, has the engine write its profile, and prints the summary and the findings:
  // status 0, or 1 after findings. The board time's end adds a line naming where the program
  // was. One that SIGINT or SIGTERM ends leaves the outputs unfinished (their temporary
  // files removed, their names never made): status 128 + the signal, as a shell reports it.
  int run();

 private:
  void attach_outputs();
  void finish_outputs();
  void drop_outputs();

  Plan plan_;
  Outputs outputs_;
  std::ostream& out_;
  std::ostream& err_;
  sim::Board* board_ = nullptr;
  Engine* engine_ = nullptr;
  sim::LcdSink* shown_ = nullptr;
  std::function<void()> after_;
  std::vector<sim::UartSink*> uart_sinks_;
  std::optional<double> board_seconds_;
  bool signals_taken_ = false;
  std::optional<WordLog> words_;
  std::optional<PngFrames> pngs_;
  std::optional<GifAnimation> gif_;
  std::optional<VcdTrace> vcd_;
  std::optional<UartLog> uart_;
  std::optional<FrameCap> cap_;
};

// A run that SIGINT or SIGTERM ended after `frames` frames: says so on `err` in one line and
// returns the exit status, 128 + the signal's number, as a shell reports it.
int ended_by_signal(int signal, std::size_t frames, std::ostream& err);

}  // namespace runner
