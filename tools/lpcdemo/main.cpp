// lpcdemo: runs the firmware against the board model and writes, or shows, what the LCD showed.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdint>
#include <filesystem>
#include <iostream>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "emu/bench.h"
#include "emu/emulator.h"
#include "isp/boot_loader.h"
#include "isp/pseudo_terminal.h"
#include "live/audio.h"
#include "live/window.h"
#include "runner/output.h"
#include "runner/run.h"
#include "runner/sinks.h"
#include "runner/vcd.h"
#include "sim/board.h"
#include "sim/format.h"

namespace {

constexpr int kExitFindings = 1;
constexpr int kExitUsage = 2;
constexpr int kNativeFrameDelayCs = 5;  // without a clock: 20 frames a second
constexpr int kRunFrames = 100;         // run's default; view goes on until closed
constexpr double kUnmeasuredFps = 25;   // a native view's pace when there is no image to measure
constexpr int kExitSignalBase = 128;    // a run ended by signal N exits 128 + N, as a shell reports

// The signal that asked the run to end, 0 while none has, and the board it ends.
volatile std::sig_atomic_t g_signal = 0;
sim::Board* g_board = nullptr;
static_assert(std::atomic<bool>::is_always_lock_free, "request_stop must be signal-safe");

extern "C" void on_signal(int signal) {
  g_signal = signal;
  if (g_board != nullptr) g_board->request_stop();
}

// While it lives, SIGINT and SIGTERM end the run at the board's next register access; a second
// one ends the process at once, for a run that has stopped talking to the board (waiting for
// GDB or a microphone).
class SignalsStopBoard {
 public:
  explicit SignalsStopBoard(sim::Board& board) {
    g_board = &board;
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
  }
  ~SignalsStopBoard() {
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    g_board = nullptr;
  }
  SignalsStopBoard(const SignalsStopBoard&) = delete;
  SignalsStopBoard& operator=(const SignalsStopBoard&) = delete;
};

// Ends the native engine's run of the image's own main after `limit` frames, as the emulated
// engine caps itself.
class FrameCap final : public sim::LcdSink {
 public:
  FrameCap(sim::Board& board, std::size_t limit) : board_(board), limit_(limit) {}
  void word(std::uint16_t) override {}
  void frame(const sim::LcdFrame&, std::uint64_t, double) override {
    if (++frames_ >= limit_) board_.request_stop();
  }

 private:
  sim::Board& board_;
  std::size_t limit_;
  std::size_t frames_ = 0;
};

struct RunOptions {
  std::string effect = "demo";
  std::optional<int> frames;
  std::int32_t start = 0;
  std::string audio;
  std::string engine = "native";
  std::string firmware = LPCDEMO_DEFAULT_ELF;
  bool firmware_given = false;
  std::string gif;
  std::string png_dir;
  std::string words;
  std::string vcd;
  std::string profile;  // run, emulated: callgrind's format
  int scale = 4;
  int gdb_port = 0;
  std::optional<int> ram_fill;  // emulated: RAM outside .data and .bss at reset
  // isp: the image the boot loader programmed, run instead of the file (emulated).
  std::optional<emu::ElfImage> flashed;
};

struct IspOptions {
  std::string port;
  std::uint32_t crystal_khz = 12000;
};

struct ViewOptions {
  bool fast = false;
  bool mute = false;
};

std::unique_ptr<runner::Engine> make_engine(const RunOptions& o, int frames, sim::Board& board) {
  if (o.engine == "native") return runner::make_native_engine(board);
  // An image built to show every effect forever never halts: stop it after the frames asked for.
  emu::Options options;
  options.frame_limit = static_cast<std::size_t>(frames);
  options.gdb_port = o.gdb_port;
  if (o.ram_fill) options.ram_fill = static_cast<std::uint8_t>(*o.ram_fill);
  if (o.flashed) return emu::make_emulated_engine(*o.flashed, board, options);
  return emu::make_emulated_engine(o.firmware, board, options);
}

// The pace of a native view: the cycle estimate of the same effect on the emulated chip.
std::function<double(std::size_t)> native_pace(const RunOptions& o) {
  std::map<std::string, double, std::less<>> fps;
  if (std::filesystem::exists(o.firmware)) {
    constexpr int kMeasuredFrames = 2;
    for (const emu::EffectCost& c : emu::measure_bench(o.firmware, kMeasuredFrames).effects) {
      fps[c.name] = c.fps;
    }
  }
  auto fps_of = [fps](std::string_view effect) {
    auto it = fps.find(effect);
    return it == fps.end() ? kUnmeasuredFps : it->second;
  };
  const std::string effect = o.effect == "demo" ? "plasma" : o.effect;
  if (effect != "showcase") return [=](std::size_t) { return fps_of(effect); };
  const std::int32_t start = o.start;
  return [=](std::size_t k) {
    return fps_of(runner::showcase_effect(runner::frame_counter(start, static_cast<int>(k))).name);
  };
}

live::WindowOptions window_options(const RunOptions& o, const ViewOptions& v) {
  live::WindowOptions w;
  w.effect = o.effect;
  w.scale = o.scale;
  w.fast = v.fast;
  if (o.engine == "native" && !v.fast) w.unclocked_fps = native_pace(o);
  if (o.effect != "demo") {
    const std::int32_t start = o.start;
    w.frame_number = [start](std::size_t k) {
      return runner::frame_counter(start, static_cast<int>(k));
    };
  }
  return w;
}

// Everything a run can be refused for that the options alone show, found before the first
// frame and before any output file is made.
void check_run_options(const RunOptions& o) {
  if (o.gdb_port != 0 && o.engine != "emulated") {
    throw std::invalid_argument("--gdb debugs the image: it needs --engine emulated");
  }
  if (o.firmware_given && o.engine != "emulated") {
    throw std::invalid_argument(
        "--firmware is the image the emulated engine runs: it needs --engine emulated (the "
        "native engine runs the host build of the sources)");
  }
  if (o.ram_fill && o.engine != "emulated") {
    throw std::invalid_argument(
        "--ram-fill fills the emulated chip's RAM: it needs --engine emulated");
  }
  if (!o.gif.empty()) runner::check_writable_file(o.gif);
  if (!o.words.empty()) runner::check_writable_file(o.words);
  if (!o.vcd.empty()) runner::check_writable_file(o.vcd);
  if (!o.profile.empty()) {
    if (o.engine != "emulated") {
      throw std::invalid_argument("--profile profiles the image: it needs --engine emulated");
    }
    runner::check_writable_file(o.profile);
  }
  if (!o.png_dir.empty()) runner::check_writable_dir(o.png_dir);
}

// Whether the effect's picture follows the converter's input, rather than only its zero level
// at bring-up; demo shows plasma.
bool shows_audio(std::string_view effect) {
  return runner::shows_audio(effect);
}

// The profile of the whole run, and the emulator's own counts to check its totals against.
void write_profile(const emu::Emulator& emulator, const RunOptions& o, int frames) {
  emulator.write_profile(o.profile, "lpcdemo run --engine emulated --effect " + o.effect +
                                        " --frames " + std::to_string(frames) + " --start " +
                                        std::to_string(o.start) + " --firmware " + o.firmware);
  std::cout << "profile " << o.profile << ": " << emulator.counters().cycles << " clocks, "
            << emulator.counters().instructions << " instructions" << std::endl;
}

int run(const RunOptions& o, const ViewOptions* view) {
  const int frames = o.frames.value_or(view ? INT_MAX : kRunFrames);
  check_run_options(o);
  sim::Board board(live::is_microphone(o.audio) ? live::open_microphone(o.audio)
                                                : sim::make_audio(o.audio));
  auto engine = make_engine(o, frames, board);
  auto* profiled = o.profile.empty() ? nullptr : dynamic_cast<emu::Emulator*>(engine.get());
  if (profiled) profiled->record_profile();
  runner::check_sequence(*engine, o.effect, o.start);
  if (!o.audio.empty() && !shows_audio(o.effect)) {
    std::cerr << "lpcdemo: " << o.effect
              << " does not show its audio input: --audio only sets the converter's zero level "
                 "at bring-up\n";
  }
  // A WAV that the board hears, the room hears too, from the first frame the window shows.
  // A machine without speakers still shows the picture.
  std::optional<live::Player> player;
  if (view && !view->mute && o.audio.starts_with("wav:")) {
    try {
      player.emplace(sim::wav_path(o.audio));
    } catch (const std::invalid_argument& e) {
      std::cerr << "lpcdemo: " << e.what() << "; the view goes on without sound\n";
    }
  }
  std::optional<live::Window> window;
  if (view) {
    live::WindowOptions w = window_options(o, *view);
    if (player) w.sound = [&player](bool on) { player->play(on); };
    window.emplace(board, std::move(w));
  }

  // Outputs stream, so nothing needs the board to keep what the LCD received.
  board.keep_history(false);
  std::optional<runner::WordLog> words;
  std::optional<runner::PngFrames> pngs;
  std::optional<runner::GifAnimation> gif;
  std::optional<runner::VcdTrace> vcd;
  if (!o.words.empty()) board.add_sink(words.emplace(o.words));
  if (!o.png_dir.empty()) board.add_sink(pngs.emplace(o.png_dir, o.scale));
  if (!o.gif.empty()) board.add_sink(gif.emplace(o.gif, o.scale, kNativeFrameDelayCs));
  if (!o.vcd.empty()) board.add_wire_sink(vcd.emplace(o.vcd));
  if (window) board.add_sink(*window);
  FrameCap cap(board, static_cast<std::size_t>(frames));
  if (o.effect == "demo" && o.engine == "native") board.add_sink(cap);
  // A view's window takes SIGINT and SIGTERM as closing it: the run ends and its files are kept.
  std::optional<SignalsStopBoard> signals;
  if (!window) signals.emplace(board);
  try {
    runner::run_sequence(*engine, o.effect, frames, o.start);
  } catch (const sim::Stopped&) {
    // The window was closed, the frames asked for are out, or a signal came: the run ends with
    // the last frame shown.
  }
  if (g_signal != 0) {
    // The outputs go unfinished: their temporary files are removed, their names never made.
    std::cerr << "lpcdemo: " << (g_signal == SIGINT ? "interrupted" : "terminated") << " after "
              << board.lcd().frame_count() << " frames; no output file written\n";
    return kExitSignalBase + g_signal;
  }
  if (words) words->finish();
  if (pngs) pngs->finish();
  if (gif) gif->finish();
  if (vcd) vcd->finish();
  if (profiled) write_profile(*profiled, o, frames);

  const auto& findings = board.findings();
  std::cout << o.effect << " (" << o.engine << "): " << board.lcd().frame_count() << " frames, "
            << board.lcd().word_count() << " words, " << findings.size() << " findings"
            << std::endl;
  for (const auto& f : findings) std::cerr << "finding: " << f.message << "\n";
  // Without a frame count the window stays, the last frame on screen, until it is closed.
  if (window && !o.frames) window->hold();
  return findings.empty() ? 0 : kExitFindings;
}

// The first byte of `flash` that differs from what the image puts there, the vector checksum
// word aside (lpc21isp writes it; the core never executes it). Bytes the image leaves alone
// (lpc21isp pads the last block) do not count.
std::optional<std::uint32_t> differs_from(const isp::Flash& flash, const emu::ElfImage& image) {
  constexpr std::uint32_t kChecksumWord = 0x14;
  for (const emu::Segment& s : image.segments()) {
    for (std::uint32_t i = 0; i < s.bytes.size(); ++i) {
      const std::uint32_t addr = s.addr + i;
      if (addr >= kChecksumWord && addr < kChecksumWord + 4) continue;
      if (addr >= isp::kFlashSize) break;  // for RAM: a debugger loads it, flashing does not
      if (flash.bytes()[addr] != s.bytes[i]) return addr;
    }
  }
  return std::nullopt;
}

// What the boot loader programmed, as the emulator boots it. The names and code ranges of the
// --firmware image come along only when the flash holds that image; anything else runs with
// addresses alone.
emu::ElfImage flashed_image(const isp::Flash& flash, const std::string& firmware) {
  std::optional<emu::ElfImage> elf;
  try {
    elf = emu::ElfImage::load(firmware);
  } catch (const emu::BadImage&) {
    std::cout << "lpcdemo isp: " << firmware << " is no image to compare the flash with"
              << "; findings name addresses only" << std::endl;
    return emu::ElfImage::from_flash(flash.bytes());
  }
  if (const auto at = differs_from(flash, *elf)) {
    std::cout << "lpcdemo isp: the flash differs from " << firmware << " at " << sim::hex_word(*at)
              << "; findings name addresses only" << std::endl;
    return emu::ElfImage::from_flash(flash.bytes());
  }
  std::cout << "lpcdemo isp: the flash holds " << firmware << "; findings name its symbols"
            << std::endl;
  return emu::ElfImage::from_flash(flash.bytes(), &*elf);
}

// The LPC2138's boot loader on a pseudo-terminal until a host starts the programmed code with
// G, then the run from reset with run's outputs.
int isp_session(RunOptions o, const IspOptions& i) {
  o.engine = "emulated";
  check_run_options(o);
  isp::BootLoader loader;
  // Open until the run ends: the host may still be reading the answer to G.
  isp::PseudoTerminal port(i.port);
  {
    std::cout << "lpcdemo isp: LPC2138 boot loader on UART0 listening at " << i.port << " ("
              << port.slave_name() << ")" << std::endl;
    unsigned refused = 0, crystal_told = 0;
    while (!loader.go()) {
      const std::string got = port.read(std::chrono::milliseconds(500));
      if (got.empty()) continue;
      port.write(loader.receive(got));
      if (loader.crystal_khz() != 0 && loader.crystal_khz() != crystal_told) {
        crystal_told = loader.crystal_khz();
        if (crystal_told != i.crystal_khz) {
          std::cout << "lpcdemo isp: the host says the crystal is " << crystal_told
                    << " kHz, the board has " << i.crystal_khz << " kHz" << std::endl;
        }
      }
      if (loader.refused_boots() != refused) {
        refused = loader.refused_boots();
        std::cout << "lpcdemo isp: G 0 A: the vector words do not sum to zero, the chip stays "
                     "in the boot loader"
                  << std::endl;
      }
    }
  }
  const isp::Go go = *loader.go();
  if (go.addr != 0 || go.thumb) {
    throw std::runtime_error("G " + std::to_string(go.addr) + (go.thumb ? " T" : " A") +
                             ": the rehearsal starts the programmed code from reset only (G 0 A)");
  }
  std::cout << "lpcdemo isp: G 0 A: booting the programmed flash" << std::endl;
  o.flashed = flashed_image(loader.flash(), o.firmware);
  return run(o, nullptr);
}

// Letters to insert, delete or change to turn a into b.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// " (did you mean X?)" for the name a word is a slip of one or two letters from, else "".
std::string suggestion(std::string_view word, const std::vector<std::string>& names) {
  constexpr std::size_t kSlip = 2;
  const auto nearest = std::min_element(names.begin(), names.end(), [word](auto& a, auto& b) {
    return edit_distance(word, a) < edit_distance(word, b);
  });
  if (nearest == names.end() || edit_distance(word, *nearest) > kSlip) return "";
  return " (did you mean " + *nearest + "?)";
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

// A parse error in one line that names the word at fault. CLI11 reports a mistyped subcommand
// as a missing one, and an unknown option with every word after it, last first.
std::string parse_failure(CLI::App& app, const CLI::ParseError& e,
                          const std::vector<std::string>& args) {
  std::vector<std::string> commands;
  for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
  const std::string listed = " (" + joined(commands) + ")";
  if (args.empty()) return "a subcommand is required" + listed;
  const auto found = app.get_subcommands([&](CLI::App* sub) { return sub->get_name() == args[0]; });
  if (found.empty()) {
    if (args[0].starts_with('-'))
      return "unknown option " + args[0] + ": give a subcommand first" + listed;
    return "unknown subcommand '" + args[0] + "'" + listed + suggestion(args[0], commands);
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&e) == nullptr) return e.what();
  const CLI::App& sub = *found.front();
  std::vector<std::string> options;
  for (const CLI::Option* opt : sub.get_options()) {
    for (const std::string& name : opt->get_lnames()) options.push_back("--" + name);
  }
  // The first word that is neither an option of the subcommand nor the value of one.
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string name = args[i].substr(0, args[i].find('='));
    const CLI::Option* opt = args[i].starts_with('-') ? sub.get_option_no_throw(name) : nullptr;
    if (!args[i].starts_with('-')) return "unexpected argument '" + args[i] + "'";
    if (opt == nullptr) return "unknown option " + name + suggestion(name, options);
    if (opt->get_expected_min() > 0 && name.size() == args[i].size()) ++i;
  }
  return e.what();
}

// A message as one line without control characters, whatever a file or a library put in it.
std::string one_line(std::string_view message) {
  std::string out(message);
  for (char& c : out) {
    if (std::iscntrl(static_cast<unsigned char>(c))) c = c == '\n' || c == '\t' ? ' ' : '?';
  }
  return out;
}

// Paths and sources: an empty one is a slip (an unset shell variable), not a choice.
const CLI::Validator kNotEmpty(
    [](const std::string& value) { return value.empty() ? "must not be empty" : ""; }, "", "");

// A decimal whole number within [lo, hi], named as what it is not when it is not one.
CLI::Validator whole_number(std::int64_t lo, std::int64_t hi) {
  return CLI::Validator(
      [lo, hi](const std::string& value) -> std::string {
        std::int64_t n = 0;
        const char* end = value.data() + value.size();
        const auto [stop, ec] = std::from_chars(value.data(), end, n);
        if (value.empty() || stop != end || ec == std::errc::invalid_argument) {
          return "'" + value + "' is not a whole number";
        }
        if (ec == std::errc::result_out_of_range || n < lo || n > hi) {
          return value + " is not in " + std::to_string(lo) + ".." + std::to_string(hi);
        }
        return "";
      },
      "", "");
}

void add_run_options(CLI::App& cmd, RunOptions& o, const std::vector<std::string>& sequences) {
  cmd.add_option("--effect", o.effect,
                 "demo (the image's own sequence), showcase (every effect in turn) or one effect")
      ->check(CLI::IsMember(sequences));
  cmd.add_option("--frames", o.frames,
                 "frames to render (run: default 100; view: until the window is closed); for "
                 "demo, a cap on the image's main (50 frames, or never halting)")
      ->check(whole_number(1, INT_MAX));
  cmd.add_option("--start", o.start,
                 "the effect's frame counter to begin at, a signed 32-bit value that wraps "
                 "(single effects and showcase)")
      ->check(whole_number(INT32_MIN, INT32_MAX));
  cmd.add_option("--audio", o.audio,
                 "converter input: silence, tone:HZ[:AMP], noise[:AMP], wav:PATH[:PEAK], "
                 "codes:PATH, mic[:PEAK] (default: a built-in chord)")
      ->check(kNotEmpty);
  cmd.add_option("--engine", o.engine, "native (host build, the default) or emulated (the image)")
      ->check(CLI::IsMember({"native", "emulated"}));
  cmd.add_option("--firmware", o.firmware, "image for the emulated engine")->check(kNotEmpty);
  cmd.add_option("--gif", o.gif, "animated GIF of the frames")->check(kNotEmpty);
  cmd.add_option("--png-dir", o.png_dir, "directory for one PNG per frame")->check(kNotEmpty);
  cmd.add_option("--words", o.words, "log of every LCD word, 16-bit little-endian")
      ->check(kNotEmpty);
  cmd.add_option("--vcd", o.vcd,
                 "logic-analyser trace (VCD, 1 ns) of the LCD link and lines, P0.9 and the "
                 "converter")
      ->check(kNotEmpty);
  cmd.add_option("--gdb", o.gdb_port,
                 "wait for GDB on 127.0.0.1:PORT before the first instruction (emulated)")
      ->check(whole_number(1, 65535));
  cmd.add_option("--ram-fill", o.ram_fill,
                 "RAM outside .data and .bss holds this byte at reset, e.g. 0xA5 (emulated)")
      ->check(CLI::Range(0, 255));
  cmd.add_option("--scale", o.scale, "pixel size in the PNGs, GIF and window (default 4)")
      ->check(whole_number(1, 16));
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
      ->add_option("--profile", o.profile,
                   "where the clocks go, per instruction and call, in callgrind's format "
                   "(emulated; callgrind_annotate, KCachegrind)")
      ->check(kNotEmpty);

  ViewOptions v;
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
  isp_cmd->add_option("--crystal", isp_options.crystal_khz, "the board's crystal in kHz")
      ->check(whole_number(10000, 25000));

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
    std::cerr << "lpcdemo: " << one_line(parse_failure(app, e, args)) << "\n";
    return kExitUsage;
  }
  for (const CLI::App* cmd : {run_cmd, view_cmd, isp_cmd}) {
    if (*cmd) o.firmware_given = cmd->count("--firmware") != 0;
  }

  try {
    if (*run_cmd) return run(o, nullptr);
    if (*view_cmd) return run(o, &v);
    if (*isp_cmd) {
      if (isp_cmd->count("--engine") != 0 && o.engine != "emulated") {
        throw std::invalid_argument("isp runs the programmed flash: it needs --engine emulated");
      }
      return isp_session(o, isp_options);
    }
    if (!bench_profile.empty()) runner::check_writable_dir(bench_profile);
    return emu::run_bench(bench_elf, bench_json, std::cout, bench_profile);
  } catch (const std::invalid_argument& e) {
    std::cerr << "lpcdemo: " << one_line(e.what()) << "\n";
    return kExitUsage;
  } catch (const std::exception& e) {
    std::cerr << "lpcdemo: " << one_line(e.what()) << "\n";
    return kExitFindings;
  }
}
