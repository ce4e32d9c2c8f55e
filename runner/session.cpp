#include "runner/session.h"

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <string>

#include "runner/output.h"
#include "runner/run.h"

namespace runner {
namespace {

constexpr int kExitFindings = 1;
constexpr int kExitSignalBase = 128;  // a run ended by signal N exits 128 + N, as a shell reports
constexpr int kUnclockedFrameCs = 5;  // a GIF's frames without a board clock: 20 a second

// The signal that asked the run to end, 0 while none has, and the board and the engine it
// ends. A handler can reach nothing else.
volatile std::sig_atomic_t g_signal = 0;
sim::Board* g_board = nullptr;
Engine* g_engine = nullptr;
static_assert(std::atomic<bool>::is_always_lock_free, "request_stop must be signal-safe");

extern "C" void on_signal(int signal) {
  if (g_signal != 0) {
    // The second: the run has not ended on the first (it waits for GDB or a microphone).
    remove_temporaries();
    ::_exit(kExitSignalBase + signal);
  }
  g_signal = signal;
  if (g_board != nullptr) g_board->request_stop();
  if (g_engine != nullptr) g_engine->interrupt();
}

// While it lives, SIGINT and SIGTERM end the run: the engine stops wherever the program is,
// a loop that touches no register included. A second one ends the process at once with the
// same status, its temporary files removed, for a run that has stopped talking to the board
// (waiting for GDB or a microphone).
class SignalsStopBoard {
 public:
  SignalsStopBoard(sim::Board& board, Engine& engine) {
    g_signal = 0;
    g_board = &board;
    g_engine = &engine;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
  }
  ~SignalsStopBoard() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    g_board = nullptr;
    g_engine = nullptr;
  }
  SignalsStopBoard(const SignalsStopBoard&) = delete;
  SignalsStopBoard& operator=(const SignalsStopBoard&) = delete;
};

// "1 frame", "2 frames".
std::string frames(std::size_t n) {
  return std::to_string(n) + (n == 1 ? " frame" : " frames");
}

}  // namespace

int ended_by_signal(int signal, std::size_t made, std::ostream& err) {
  err << "lpcdemo: " << (signal == SIGINT ? "interrupted" : "terminated") << " after "
      << frames(made) << "; no output file written" << std::endl;
  return kExitSignalBase + signal;
}

void FrameCap::frame(const sim::LcdFrame&, std::uint64_t, double) {
  if (++frames_ >= limit_) board_.request_stop();
}

Session::Session(Plan plan, Outputs outputs, std::ostream& out, std::ostream& err)
    : plan_(std::move(plan)), outputs_(std::move(outputs)), out_(out), err_(err) {
  for (const std::string* file :
       {&outputs_.gif, &outputs_.words, &outputs_.vcd, &outputs_.profile}) {
    if (!file->empty()) check_writable_file(*file);
  }
  if (!outputs_.uart.empty() && outputs_.uart != "-") check_writable_file(outputs_.uart);
  if (!outputs_.png_dir.empty()) check_writable_dir(outputs_.png_dir);
}

void Session::prepare(sim::Board& board, Engine& engine) {
  board_ = &board;
  engine_ = &engine;
  if (!outputs_.profile.empty()) engine.record_profile();
  check_sequence(engine, plan_.sequence, plan_.start);
  if (board_seconds_) board.set_time_limit(*board_seconds_);
}

void Session::show(sim::LcdSink& sink, std::function<void()> after, bool takes_signals) {
  shown_ = &sink;
  after_ = std::move(after);
  signals_taken_ = takes_signals;
}

void Session::add_uart_sink(sim::UartSink& sink) {
  uart_sinks_.push_back(&sink);
}

void Session::attach_outputs() {
  sim::Board& board = *board_;
  // Outputs stream, so nothing needs the board to keep what the LCD received.
  board.keep_history(false);
  if (!outputs_.words.empty()) board.add_sink(words_.emplace(outputs_.words));
  if (!outputs_.png_dir.empty()) board.add_sink(pngs_.emplace(outputs_.png_dir, outputs_.scale));
  if (!outputs_.gif.empty()) {
    board.add_sink(gif_.emplace(outputs_.gif, outputs_.scale, kUnclockedFrameCs));
  }
  if (!outputs_.vcd.empty()) board.add_wire_sink(vcd_.emplace(outputs_.vcd));
  if (!outputs_.uart.empty()) board.add_uart_sink(uart_.emplace(outputs_.uart, out_));
  for (sim::UartSink* sink : uart_sinks_) board.add_uart_sink(*sink);
  if (shown_ != nullptr) board.add_sink(*shown_);
  board.add_sink(cap_.emplace(board, static_cast<std::size_t>(plan_.frames)));
}

void Session::finish_outputs() {
  if (words_) words_->finish();
  if (pngs_) pngs_->finish();
  if (gif_) gif_->finish();
  if (vcd_) vcd_->finish();
  if (uart_) uart_->finish();
  if (!outputs_.profile.empty()) {
    const std::string counted = engine_->write_profile(outputs_.profile, outputs_.profile_command);
    out_ << "profile " << outputs_.profile << ": " << counted << std::endl;
  }
}

void Session::drop_outputs() {
  words_.reset();
  pngs_.reset();
  gif_.reset();
  vcd_.reset();
  uart_.reset();
}

int Session::run() {
  sim::Board& board = *board_;
  if (outputs_.words.empty() && outputs_.png_dir.empty() && outputs_.gif.empty() &&
      outputs_.vcd.empty() && outputs_.uart.empty() && outputs_.profile.empty() &&
      shown_ == nullptr && uart_sinks_.empty()) {
    err_ << "lpcdemo: no output asked for (--gif, --png-dir, --words, --vcd, --uart, --profile): "
            "the run writes only its summary"
         << std::endl;
  }
  // From the first temporary file made to the last one named or removed.
  std::optional<SignalsStopBoard> signals;
  if (!signals_taken_) signals.emplace(board, *engine_);
  attach_outputs();
  bool stopped = false;
  try {
    run_sequence(*engine_, plan_.sequence, plan_.frames, plan_.start);
  } catch (const sim::Stopped&) {
    // The frames asked for are out, a window was closed, a signal came or a debugger's reset
    // ran the program to its end: the run ends with the last frame shown.
    stopped = true;
  }
  if (g_signal != 0) {
    const int signal = g_signal;
    drop_outputs();
    g_signal = 0;
    return ended_by_signal(signal, board.lcd().frame_count(), err_);
  }
  finish_outputs();
  signals.reset();

  if (board.time_up()) {
    out_ << plan_.name << ": " << *board.time_limit() << " s of board time, the program at "
         << engine_->location() << std::endl;
  }
  const auto& findings = board.findings();
  const std::size_t made = board.lcd().frame_count();
  // Each call of an effect or the showcase is a frame asked for; demo's main ends where it
  // halts (--frames caps it). A run that something stopped (a window closed, GDB's kill or
  // reset, the board time's bound) ended where it was asked to.
  const auto asked = static_cast<std::size_t>(plan_.frames);
  const bool short_of_frames =
      plan_.sequence != "demo" && !stopped && !board.stop_requested() && made < asked;
  out_ << plan_.name << ": " << frames(made) << ", " << board.lcd().word_count() << " words, "
       << findings.size() << " findings";
  if (short_of_frames) {
    out_ << "; "
         << (asked - made == 1
                 ? "frame " + std::to_string(made)
                 : "frames " + std::to_string(made) + " to " + std::to_string(asked - 1))
         << " of the " << asked << " asked for " << (asked - made == 1 ? "is" : "are")
         << " missing";
  }
  out_ << std::endl;
  for (const auto& f : findings) err_ << "finding: " << f.message << "\n";
  if (pngs_) {
    if (const PngFrames::Older older = pngs_->older(); older.count != 0) {
      err_ << "lpcdemo: " << outputs_.png_dir << " still holds " << frames(older.count)
           << " of an earlier run (" << PngFrames::name(older.first) << " to "
           << PngFrames::name(older.last) << "), left as they were" << std::endl;
    }
  }
  if (after_) after_();
  return findings.empty() && !short_of_frames ? 0 : kExitFindings;
}

}  // namespace runner
