// lpcdemo: runs the firmware against the board model and writes what the LCD showed.
#include <CLI/CLI.hpp>

#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "runner/output.h"
#include "runner/run.h"
#include "runner/sinks.h"
#include "sim/board.h"

#include "emu/bench.h"
#include "emu/emulator.h"

namespace {

constexpr int kExitFindings = 1;
constexpr int kExitUsage = 2;
constexpr int kNativeFrameDelayCs = 5;  // without a clock: 20 frames a second

struct RunOptions {
  std::string effect = "demo";
  int frames = 100;
  std::string audio;
  std::string engine = "native";
  std::string firmware = LPCDEMO_DEFAULT_ELF;
  std::string gif;
  std::string png_dir;
  std::string words;
  int scale = 4;
};

std::unique_ptr<runner::Engine> make_engine(const RunOptions& o, sim::Board& board) {
  if (o.engine == "native") return runner::make_native_engine(board);
  // An image built to show every effect forever never halts: stop it after the frames asked for.
  emu::Options options;
  options.frame_limit = static_cast<std::size_t>(o.frames);
  return emu::make_emulated_engine(o.firmware, board, options);
}

int run(const RunOptions& o) {
  // Everything a run can be refused for is found before the first frame, and before any
  // output file is made.
  if (!o.gif.empty()) runner::check_writable_file(o.gif);
  if (!o.words.empty()) runner::check_writable_file(o.words);
  if (!o.png_dir.empty()) runner::check_writable_dir(o.png_dir);
  sim::Board board(sim::make_audio(o.audio));
  auto engine = make_engine(o, board);
  runner::check_sequence(*engine, o.effect);

  // Outputs stream, so nothing needs the board to keep what the LCD received.
  board.keep_history(false);
  std::optional<runner::WordLog> words;
  std::optional<runner::PngFrames> pngs;
  std::optional<runner::GifAnimation> gif;
  if (!o.words.empty()) board.add_sink(words.emplace(o.words));
  if (!o.png_dir.empty()) board.add_sink(pngs.emplace(o.png_dir, o.scale));
  if (!o.gif.empty()) board.add_sink(gif.emplace(o.gif, o.scale, kNativeFrameDelayCs));
  runner::run_sequence(*engine, o.effect, o.frames);
  if (words) words->finish();
  if (gif) gif->finish();

  const auto& findings = board.findings();
  std::cout << o.effect << " (" << o.engine << "): " << board.lcd().frame_count() << " frames, "
            << board.lcd().word_count() << " words, " << findings.size() << " findings\n";
  for (const auto& f : findings) std::cerr << "finding: " << f.message << "\n";
  return findings.empty() ? 0 : kExitFindings;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"lpcdemo: runs the LPC2138 demo firmware on a model of its board"};
  app.require_subcommand(1);

  // The two sequences, then every single effect the runner knows; the help lists them all.
  std::vector<std::string> sequences = {"demo", "showcase"};
  for (const runner::Effect& e : runner::effects()) sequences.emplace_back(e.name);

  RunOptions o;
  auto* run_cmd = app.add_subcommand("run", "run an effect and write the frames");
  run_cmd
      ->add_option("--effect", o.effect,
                   "demo (the image's own sequence), showcase (every effect in turn) or one effect")
      ->check(CLI::IsMember(sequences));
  run_cmd
      ->add_option(
          "--frames", o.frames,
          "frames to render; for demo (emulated), a cap on an image whose main never halts")
      ->check(CLI::Range(1, 100000));
  run_cmd->add_option("--audio", o.audio,
                      "converter input: silence, tone:HZ[:AMP], noise[:AMP], wav:PATH, "
                      "codes:PATH (default: a built-in chord)");
  run_cmd->add_option("--engine", o.engine, "native (host build) or emulated (the image)")
      ->check(CLI::IsMember({"native", "emulated"}));
  run_cmd->add_option("--firmware", o.firmware, "image for the emulated engine");
  run_cmd->add_option("--gif", o.gif, "animated GIF of the frames");
  run_cmd->add_option("--png-dir", o.png_dir, "directory for one PNG per frame");
  run_cmd->add_option("--words", o.words, "log of every LCD word, 16-bit little-endian");
  run_cmd->add_option("--scale", o.scale, "pixel size in the PNGs and GIF")
      ->check(CLI::Range(1, 16));

  std::string bench_elf = LPCDEMO_DEFAULT_ELF;
  bool bench_json = false;
  auto* bench_cmd = app.add_subcommand("bench", "cycle report per effect, emulated");
  bench_cmd->add_option("--firmware", bench_elf, "image to measure");
  bench_cmd->add_flag("--json", bench_json, "print the report as JSON");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::cerr << "lpcdemo: " << e.what() << "\n";
    return kExitUsage;
  }

  try {
    if (*run_cmd) return run(o);
    return emu::run_bench(bench_elf, bench_json, std::cout);
  } catch (const std::invalid_argument& e) {
    std::cerr << "lpcdemo: " << e.what() << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "lpcdemo: " << e.what() << "\n";
    return kExitFindings;
  }
}
