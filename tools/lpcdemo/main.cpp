// lpcdemo: runs the firmware against the board model and writes, or shows, what the LCD showed.
// This file parses the command line and chooses the engine and what the run writes or shows;
// a runner::Session runs it.
#include <CLI/CLI.hpp>

#include <climits>
#include <cstdint>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "emu/bench.h"
#include "emu/emulator.h"
#include "isp/flashed_image.h"
#include "isp/session.h"
#include "live/audio.h"
#include "runner/output.h"
#include "runner/run.h"
#include "runner/session.h"
#include "sim/audio_files.h"
#include "sim/board.h"
#include "sim/refusal.h"
#include "usage.h"
#include "view.h"

namespace {

using lpcdemo::kNotEmpty;
using lpcdemo::positive_number;
using lpcdemo::whole_number;

constexpr int kExitFailed = 1;
constexpr int kExitRefused = 2;
constexpr int kRunFrames = 100;              // run's default; view goes on until closed
constexpr double kMostBoardSeconds = 86400;  // a day of the board's time is bound enough

struct RunOptions {
  std::string effect = "demo";
  std::optional<int> frames;
  std::int32_t start = 0;
  std::string audio;
  std::string engine = "native";
  std::string firmware = LPCDEMO_DEFAULT_ELF;
  bool firmware_given = false;
  runner::Outputs outputs;
  int gdb_port = 0;
  std::optional<int> ram_fill;  // emulated: RAM outside .data and .bss at reset
  std::optional<double> board_seconds;
};

struct IspOptions {
  std::string port;
  std::uint32_t crystal_khz = 12000;
};

// An image's functions by name, for the refusals a run makes before it starts.
class ImageFunctions final : public runner::Engine {
 public:
  explicit ImageFunctions(emu::ElfImage image) : image_(std::move(image)) {}
  void call(std::string_view, std::initializer_list<std::int32_t>) override {}
  void run_main() override {}
  bool has(std::string_view symbol) const override { return image_.find(symbol).has_value(); }

 private:
  emu::ElfImage image_;
};

// isp: a sequence other than demo calls the --firmware image's functions by name, so that
// image must have them; refused before the session, not once the flash is programmed.
void check_flashed_sequence(const RunOptions& o) {
  if (o.effect == "demo") return;
  try {
    runner::check_sequence(ImageFunctions(emu::ElfImage::load(o.firmware)), o.effect, o.start);
  } catch (const sim::Refusal& e) {
    throw sim::Refusal("--effect " + o.effect +
                       " calls the --firmware image's functions by name: " + e.what());
  }
}

// Option combinations that make no sense, refused before anything is made.
void check_options(const RunOptions& o) {
  const bool emulated = o.engine == "emulated";
  if (o.gdb_port != 0 && !emulated) {
    throw sim::Refusal("--gdb debugs the image: it needs --engine emulated");
  }
  if (o.firmware_given && !emulated) {
    throw sim::Refusal(
        "--firmware is the image the emulated engine runs: it needs --engine emulated (the "
        "native engine runs the host build of the sources)");
  }
  if (o.ram_fill && !emulated) {
    throw sim::Refusal("--ram-fill fills the emulated chip's RAM: it needs --engine emulated");
  }
  if (o.board_seconds && !emulated) {
    throw sim::Refusal(
        "--board-seconds bounds the emulated chip's time: it needs --engine emulated (the native "
        "engine keeps no board time)");
  }
  if (!o.outputs.profile.empty() && !emulated) {
    throw sim::Refusal("--profile profiles the image: it needs --engine emulated");
  }
  if (o.effect == "demo" && o.start != 0) {
    throw sim::Refusal("--start: demo runs the image's own main from reset");
  }
}

// `flashed`: what the boot loader programmed, run instead of the file.
std::unique_ptr<runner::Engine> make_engine(const RunOptions& o, sim::Board& board,
                                            std::optional<emu::ElfImage> flashed) {
  if (o.engine == "native") return runner::make_native_engine(board);
  emu::Options options;
  options.gdb_port = o.gdb_port;
  if (o.ram_fill) options.ram_fill = static_cast<std::uint8_t>(*o.ram_fill);
  if (flashed) return emu::make_emulated_engine(std::move(*flashed), board, options);
  return emu::make_emulated_engine(o.firmware, board, options);
}

// run, view (with `view`) and isp (with `isp`: the boot loader first, then the run of what it
// programmed, emulated).
int run(RunOptions o, const lpcdemo::ViewOptions* view, const IspOptions* isp) {
  if (isp) o.engine = "emulated";
  check_options(o);
  runner::Plan plan{o.effect, o.frames.value_or(view ? INT_MAX : kRunFrames), o.start,
                    o.effect + " (" + o.engine + ")"};
  // The view shows what UART0 sends in the terminal it was started from.
  if (view && o.outputs.uart.empty()) o.outputs.uart = "-";
  o.outputs.profile_command = "lpcdemo run --engine emulated --effect " + o.effect + " --frames " +
                              std::to_string(plan.frames) + " --start " + std::to_string(o.start) +
                              " --firmware " + o.firmware;
  runner::Session session(plan, o.outputs, std::cout, std::cerr);
  if (o.board_seconds) session.limit_board_time(*o.board_seconds);
  // Open until the run ends: the host may still be reading the answer to G.
  std::optional<isp::Session> loader;
  std::optional<emu::ElfImage> flashed;
  if (isp) {
    check_flashed_sequence(o);
    loader.emplace(isp->port, isp->crystal_khz, std::cout);
    try {
      flashed = isp::flashed_image(loader->serve(), o.firmware, std::cout);
    } catch (const isp::Interrupted& stop) {
      return runner::ended_by_signal(stop.signal, 0, std::cerr);
    }
  }
  sim::Board board(sim::parse_microphone(o.audio) ? live::open_microphone(o.audio)
                                                  : sim::open_audio(o.audio));
  if (isp) board.set_crystal_hz(isp->crystal_khz * 1000.0);
  auto engine = make_engine(o, board, std::move(flashed));
  try {
    session.prepare(board, *engine);
  } catch (const sim::Refusal& e) {
    if (!isp) throw;
    throw sim::Refusal("the flash does not hold " + o.firmware + ", whose functions --effect " +
                       o.effect + " calls: " + e.what());
  }
  if (loader) {
    // The program's UART0 is on the wire the host's serial port is on.
    session.add_uart_sink(*loader);
    if (const int signal = loader->interrupted())
      return runner::ended_by_signal(signal, 0, std::cerr);
  }
  if (!o.audio.empty() && !runner::shows_audio(o.effect)) {
    std::cerr << "lpcdemo: " << o.effect
              << " does not show its audio input: --audio only sets the converter's zero level "
                 "at bring-up\n";
  }
  std::optional<lpcdemo::View> shown;
  if (view) {
    shown.emplace(board, *view,
                  lpcdemo::ViewedRun{o.effect, o.start, o.outputs.scale, o.audio,
                                     o.engine == "native" ? &o.firmware : nullptr});
    // Without a frame count the window stays, the last frame on screen, until it is closed. It
    // takes SIGINT and SIGTERM as closing it: the run ends and its files are kept.
    std::function<void()> hold;
    if (!o.frames) hold = [&shown] { shown->window().hold(); };
    session.show(shown->window(), std::move(hold), true);
  }
  // Said once nothing is refused any more, just before the trace starts to grow.
  if (!o.outputs.vcd.empty()) {
    const std::string note =
        runner::vcd_size_note(view && !o.frames ? std::nullopt : std::optional(plan.frames));
    if (!note.empty()) std::cerr << "lpcdemo: " << note << std::endl;
  }
  return session.run();
}

void add_run_options(CLI::App& cmd, RunOptions& o, const std::vector<std::string>& sequences) {
  cmd.add_option("--effect", o.effect,
                 "demo (the image's own sequence), showcase (every effect in turn) or one effect")
      ->check(lpcdemo::one_of(sequences));
  cmd.add_option("--frames", o.frames,
                 "frames to render (run: default 100; view: until the window is closed); for "
                 "demo, a cap on the image's main (50 frames, or never halting)")
      ->transform(whole_number(1, INT_MAX));
  cmd.add_option("--start", o.start,
                 "the effect's frame counter to begin at, a signed 32-bit value that wraps "
                 "(single effects and showcase)")
      ->transform(whole_number(INT32_MIN, INT32_MAX));
  cmd.add_option("--audio", o.audio,
                 "converter input: silence, tone:HZ[:AMP], noise[:AMP], wav:PATH[:PEAK], "
                 "codes:PATH, mic[:PEAK] (default: a built-in chord)")
      ->check(kNotEmpty);
  cmd.add_option("--engine", o.engine, "native (host build, the default) or emulated (the image)")
      ->check(lpcdemo::one_of({"native", "emulated"}));
  cmd.add_option("--firmware", o.firmware, "image for the emulated engine")->check(kNotEmpty);
  cmd.add_option("--gif", o.outputs.gif, "animated GIF of the frames")->check(kNotEmpty);
  cmd.add_option("--png-dir", o.outputs.png_dir, "directory for one PNG per frame")
      ->check(kNotEmpty);
  cmd.add_option("--words", o.outputs.words, "log of every LCD word, 16-bit little-endian")
      ->check(kNotEmpty);
  cmd.add_option("--vcd", o.outputs.vcd,
                 "logic-analyser trace (VCD, 1 ns) of the LCD link and lines, P0.9, the "
                 "converter and TXD0")
      ->check(kNotEmpty);
  cmd.add_option("--uart", o.outputs.uart,
                 "UART0's bytes as they leave TXD0: a file, or - for standard output (view: - "
                 "unless given)")
      ->check(kNotEmpty);
  cmd.add_option("--board-seconds", o.board_seconds,
                 "end the run after this much board time, saying where the program was "
                 "(emulated; also ends a program that sends no frame)")
      ->check(positive_number(kMostBoardSeconds));
  cmd.add_option("--gdb", o.gdb_port,
                 "wait for GDB on 127.0.0.1:PORT before the first instruction (emulated)")
      ->transform(whole_number(1, 65535));
  cmd.add_option("--ram-fill", o.ram_fill,
                 "RAM outside .data and .bss holds this byte at reset, e.g. 0xA5 (emulated)")
      ->transform(lpcdemo::byte_number());
  cmd.add_option("--scale", o.outputs.scale, "pixel size in the PNGs, GIF and window (default 4)")
      ->transform(whole_number(1, 16));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"lpcdemo: runs the LPC2138 demo firmware on a model of its board"};
  app.require_subcommand(1);
  app.set_version_flag("--version", "lpcdemo " LPCDEMO_VERSION);

  // The two sequences, then every single effect the runner knows; the help lists them all.
  std::vector<std::string> sequences = {"demo", "showcase"};
  for (const runner::Effect& e : runner::effects()) sequences.emplace_back(e.name);

  RunOptions o;
  auto* run_cmd = app.add_subcommand("run", "run an effect and write the frames");
  add_run_options(*run_cmd, o, sequences);
  run_cmd
      ->add_option("--profile", o.outputs.profile,
                   "where the clocks go, per instruction and call, in callgrind's format "
                   "(emulated; callgrind_annotate, KCachegrind)")
      ->check(kNotEmpty);

  lpcdemo::ViewOptions v;
  auto* view_cmd = app.add_subcommand("view", "run an effect and show it live in a window");
  add_run_options(*view_cmd, o, sequences);
  view_cmd->add_flag("--fast", v.fast, "as fast as the engine renders, not at the board's pace");
  view_cmd->add_flag("--mute", v.mute, "do not play a wav: input on the output device");

  IspOptions isp_options;
  auto* isp_cmd = app.add_subcommand(
      "isp",
      "answer lpc21isp as the chip's boot loader on a pseudo-terminal, then run what it "
      "programmed");
  add_run_options(*isp_cmd, o, sequences);
  isp_cmd->add_option("--port", isp_options.port, "the serial port to make (a symbolic link)")
      ->required()
      ->check(kNotEmpty);
  isp_cmd
      ->add_option("--crystal", isp_options.crystal_khz,
                   "the board's crystal in kHz, which the booted chip runs at (default 12000)")
      ->transform(whole_number(10000, 25000));

  std::string bench_elf = LPCDEMO_DEFAULT_ELF;
  bool bench_json = false;
  auto* bench_cmd = app.add_subcommand("bench", "cycle report per effect, emulated");
  bench_cmd->add_option("--firmware", bench_elf, "image to measure")->check(kNotEmpty);
  bench_cmd->add_flag("--json", bench_json, "print the report as JSON");
  std::string bench_profile;
  bench_cmd
      ->add_option("--profile", bench_profile,
                   "directory for a callgrind profile of each effect's frames, "
                   "DIR/<effect>.callgrind")
      ->check(kNotEmpty);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Success& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    std::cerr << "lpcdemo: " << lpcdemo::one_line(lpcdemo::parse_failure(app, e, args)) << "\n";
    return kExitRefused;
  }
  for (const CLI::App* cmd : {run_cmd, view_cmd, isp_cmd}) {
    if (*cmd) o.firmware_given = cmd->count("--firmware") != 0;
  }

  try {
    if (*run_cmd) return run(o, nullptr, nullptr);
    if (*view_cmd) return run(o, &v, nullptr);
    if (*isp_cmd) {
      if (isp_cmd->count("--engine") != 0 && o.engine != "emulated") {
        throw sim::Refusal("isp runs the programmed flash: it needs --engine emulated");
      }
      return run(o, nullptr, &isp_options);
    }
    if (!bench_profile.empty()) runner::check_writable_dir(bench_profile);
    return emu::run_bench(bench_elf, bench_json, std::cout, bench_profile);
  } catch (const sim::Refusal& e) {
    std::cerr << "lpcdemo: " << lpcdemo::one_line(e.what()) << "\n";
    return kExitRefused;
  } catch (const std::exception& e) {
    std::cerr << "lpcdemo: " << lpcdemo::one_line(e.what()) << "\n";
    return kExitFailed;
  }
}
