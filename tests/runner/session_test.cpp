// A session's own jobs: the frame cap on the image's main and on single effects, the outputs
// named only when the run completes, a signal ending it with nothing made, the profile, the
// summary, the findings and the exit status, and refusals before anything is made.
#include "runner/session.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "hw/lpc2138.h"
#include "sim/audio.h"
#include "sim/refusal.h"
#include "support/temp_dir.h"

namespace {

namespace chip = lpc2138;
namespace fs = std::filesystem;

// The files a directory holds, hidden ones (an output's temporary file) included.
std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    names.push_back(e.path().lexically_relative(dir).string());
  }
  return names;
}

runner::Outputs every_output(const test::TempDir& dir) {
  runner::Outputs o;
  o.words = (dir / "words.bin").string();
  o.png_dir = (dir / "png/deep").string();
  o.gif = (dir / "run.gif").string();
  o.vcd = (dir / "run.vcd").string();
  o.scale = 1;
  return o;
}

// An engine that renders nothing: its main reports the findings it is given, may end itself by
// a signal (raised, then the board's next access stops it), and it pretends to profile.
class ScriptedEngine final : public runner::Engine {
 public:
  explicit ScriptedEngine(sim::Board& board) : board_(board) {}
  void call(std::string_view, std::initializer_list<std::int32_t>) override {}
  void run_main() override {
    for (const std::string& f : findings) board_.report({f, 0});
    if (signal == 0) return;
    std::raise(signal);
    board_.read(chip::FIO0PIN.addr, 32);
  }
  bool has(std::string_view) const override { return true; }
  void record_profile() override { calls.push_back("record"); }
  std::string write_profile(const std::string& path, const std::string& command) const override {
    calls.push_back("write " + path + " for " + command);
    return "7 clocks, 3 instructions";
  }

  std::vector<std::string> findings;
  int signal = 0;
  mutable std::vector<std::string> calls;

 private:
  sim::Board& board_;
};

// Raises a signal as the LCD completes frame `at`, as Ctrl-C during a run would, `times` times
// in a row, as from a user whose first Ctrl-C seemed to do nothing.
class RaiseAt final : public sim::LcdSink {
 public:
  RaiseAt(int signal, std::size_t at, int times = 1) : signal_(signal), at_(at), times_(times) {}
  void word(std::uint16_t) override {}
  void frame(const sim::LcdFrame&, std::uint64_t, double) override {
    if (++frames_ != at_) return;
    for (int i = 0; i < times_; ++i) std::raise(signal_);
  }

 private:
  int signal_;
  std::size_t at_, frames_ = 0;
  int times_;
};

// Whether SIGINT and SIGTERM are both back to their default action (the handler resets only
// the one that came).
bool handlers_default() {
  struct sigaction interrupt {
  }, terminate{};
  sigaction(SIGINT, nullptr, &interrupt);
  sigaction(SIGTERM, nullptr, &terminate);
  return interrupt.sa_handler == SIG_DFL && terminate.sa_handler == SIG_DFL;
}

struct Result {
  int status;
  std::string out, err;
  std::size_t frames;
};

Result run_native(runner::Plan plan, const runner::Outputs& outputs,
                  sim::LcdSink* shown = nullptr) {
  std::ostringstream out, err;
  runner::Session session(std::move(plan), outputs, out, err);
  sim::Board board(sim::make_audio(""));
  auto engine = runner::make_native_engine(board);
  session.prepare(board, *engine);
  if (shown) session.show(*shown, {}, false);
  const int status = session.run();
  return {status, out.str(), err.str(), board.lcd().frame_count()};
}

// The image's main renders 50 frames and halts; a single effect renders one a call.
TEST(Session, EndsAfterExactlyTheFramesAskedForWhateverTheSequence) {
  struct Case {
    const char* sequence;
    int frames;
    std::size_t expected;
  };
  for (const Case& c : {Case{"demo", 1, 1}, Case{"demo", 3, 3}, Case{"demo", 60, 50},
                        Case{"plasma", 3, 3}, Case{"showcase", 2, 2}}) {
    const test::TempDir dir;
    runner::Outputs outputs;
    outputs.words = (dir / "words.bin").string();
    const Result r = run_native({c.sequence, c.frames, 0, "x"}, outputs);
    EXPECT_EQ(r.status, 0) << c.sequence << r.err;
    EXPECT_EQ(r.frames, c.expected) << c.sequence << " --frames " << c.frames;
    const std::string counted =
        std::to_string(c.expected) + (c.expected == 1 ? " frame, " : " frames, ");
    EXPECT_EQ(r.out.find("x: " + counted), 0u) << r.out;
    // The log was finished whole: 2 bytes a word, as many words as the summary counts.
    const std::string words = r.out.substr(r.out.find(counted) + counted.size());
    EXPECT_EQ(fs::file_size(outputs.words), 2 * std::stoull(words)) << c.sequence;
  }
}

TEST(Session, ASignalEndsTheRunWithNoOutputMadeAndItsHandlersGone) {
  struct Case {
    int signal;
    int status;  // 128 + the signal, as a shell reports it
    const char* said;
  };
  for (const Case& c : {Case{SIGINT, 130, "lpcdemo: interrupted after 2 frames"},
                        Case{SIGTERM, 143, "lpcdemo: terminated after 2 frames"}}) {
    const test::TempDir dir;
    RaiseAt raise(c.signal, 2);
    const Result r = run_native({"plasma", 100, 0, "plasma (native)"}, every_output(dir), &raise);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.frames, 2u);
    EXPECT_EQ(r.err, std::string(c.said) + "; no output file written\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{}) << "left behind";
    EXPECT_TRUE(handlers_default()) << "the session's handlers outlived the run";
  }
  // The next run in the same process completes as if no signal had come.
  const test::TempDir dir;
  const Result r = run_native({"plasma", 2, 0, "plasma (native)"}, every_output(dir));
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(handlers_default()) << "the session's handlers outlived the run";
  for (const char* made : {"words.bin", "run.gif", "run.vcd", "png/deep/frame0001.png"}) {
    EXPECT_TRUE(fs::exists(dir / made)) << made;
  }
}

// The second signal ends the process at once with the signal's status, for a run that has
// stopped talking to the board, and removes the temporary files and the directories made.
TEST(Session, ASecondSignalEndsTheProcessAndRemovesTheTemporaryFiles) {
  for (const int signal : {SIGINT, SIGTERM}) {
    const test::TempDir dir;
    EXPECT_EXIT(
        {
          RaiseAt raise(signal, 2, 2);
          run_native({"plasma", 100, 0, "plasma (native)"}, every_output(dir), &raise);
          std::exit(0);
        },
        ::testing::ExitedWithCode(128 + signal), "");
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{}) << "left behind";
  }
}

// Each call of an effect is a frame asked for: one that returns without sending it leaves the
// frame missing, named in the summary, and the run fails. demo's main ends where it halts, and
// a run something stopped (a window closed, the board's time bound) ends where it was asked to.
TEST(Session, FramesAskedForAndNotMadeAreNamedAndFailTheRun) {
  struct Case {
    const char* sequence;
    int frames;
    bool stopped;
    int status;
    const char* summary;
  };
  for (const Case& c : {
           Case{"plasma", 3, false, 1,
                "x: 0 frames, 0 words, 0 findings; frames 0 to 2 of the 3 asked for are missing\n"},
           Case{"showcase", 1, false, 1,
                "x: 0 frames, 0 words, 0 findings; frame 0 of the 1 asked for is missing\n"},
           Case{"plasma", 3, true, 0, "x: 0 frames, 0 words, 0 findings\n"},
           Case{"demo", 3, false, 0, "x: 0 frames, 0 words, 0 findings\n"},
       }) {
    std::ostringstream out, err;
    runner::Session session({c.sequence, c.frames, 0, "x"}, {}, out, err);
    sim::Board board(sim::make_audio(""));
    ScriptedEngine engine(board);
    session.prepare(board, engine);
    if (c.stopped) board.request_stop();
    EXPECT_EQ(session.run(), c.status) << c.sequence;
    EXPECT_EQ(out.str(), c.summary);
  }
}

TEST(Session, TheSummaryTheFindingsAndTheStatus) {
  struct Case {
    std::vector<std::string> findings;
    int status;
    const char* summary;
    const char* err;
  };
  for (const Case& c :
       {Case{{}, 0, "demo (emulated): 0 frames, 0 words, 0 findings\n", ""},
        Case{{"a"}, 1, "demo (emulated): 0 frames, 0 words, 1 findings\n", "finding: a\n"},
        Case{{"a", "b"},
             1,
             "demo (emulated): 0 frames, 0 words, 2 findings\n",
             "finding: a\nfinding: b\n"}}) {
    std::ostringstream out, err;
    runner::Session session({"demo", 5, 0, "demo (emulated)"}, {}, out, err);
    sim::Board board(sim::make_audio(""));
    ScriptedEngine engine(board);
    engine.findings = c.findings;
    session.prepare(board, engine);
    // A window's hold comes after the summary, which a viewer may be waiting to read.
    std::string seen_by_after;
    struct Quiet final : sim::LcdSink {
      void word(std::uint16_t) override {}
      void frame(const sim::LcdFrame&, std::uint64_t, double) override {}
    } sink;
    session.show(
        sink, [&] { seen_by_after = out.str(); }, false);
    EXPECT_EQ(session.run(), c.status);
    EXPECT_EQ(out.str(), c.summary);
    EXPECT_EQ(err.str(), c.err);
    EXPECT_EQ(seen_by_after, c.summary);
    EXPECT_TRUE(engine.calls.empty()) << "a profile nobody asked for";
  }
}

TEST(Session, TheEngineWritesItsProfileOnlyWhenTheRunCompletes) {
  for (const int signal : {0, SIGINT}) {
    const test::TempDir dir;
    runner::Outputs outputs;
    outputs.profile = (dir / "p.callgrind").string();
    outputs.profile_command = "lpcdemo run ...";
    std::ostringstream out, err;
    runner::Session session({"demo", 5, 0, "demo (emulated)"}, outputs, out, err);
    sim::Board board(sim::make_audio(""));
    ScriptedEngine engine(board);
    engine.signal = signal;
    session.prepare(board, engine);
    EXPECT_EQ(engine.calls, std::vector<std::string>{"record"});
    EXPECT_EQ(session.run(), signal == 0 ? 0 : 130);
    if (signal == 0) {
      EXPECT_EQ(engine.calls.back(), "write " + outputs.profile + " for lpcdemo run ...");
      EXPECT_EQ(out.str(), "profile " + outputs.profile +
                               ": 7 clocks, 3 instructions\n"
                               "demo (emulated): 0 frames, 0 words, 0 findings\n");
    } else {
      EXPECT_EQ(engine.calls.size(), 1u) << "profile written after a signal";
      EXPECT_EQ(out.str(), "");
    }
  }
}

// Each refused before an output is made: the session's outputs, then its sequence and profile
// on the engine (the native one counts no clocks).
TEST(Session, RefusesBeforeAnythingIsMade) {
  const test::TempDir dir;
  std::ofstream(dir / "file") << "x";
  struct Case {
    const char* what;
    runner::Plan plan;
    std::string words, png_dir, profile, gif = "", vcd = "";
  };
  const std::string ok = (dir / "ok.bin").string();
  for (const Case& c : {
           Case{"words in a file", {"plasma", 1, 0, ""}, (dir / "file/w.bin").string(), "", ""},
           Case{"pngs in a file", {"plasma", 1, 0, ""}, ok, (dir / "file/png").string(), ""},
           Case{"profile in a file", {"plasma", 1, 0, ""}, ok, "", (dir / "file/p").string()},
           Case{"gif in a file", {"plasma", 1, 0, ""}, ok, "", "", (dir / "file/g").string()},
           Case{"vcd in a file", {"plasma", 1, 0, ""}, ok, "", "", "", (dir / "file/v").string()},
           Case{"no such effect", {"tunnel", 1, 0, ""}, ok, "", ""},
           Case{"demo from frame 5", {"demo", 1, 5, ""}, ok, "", ""},
           Case{"native profile", {"plasma", 1, 0, ""}, ok, "", (dir / "p").string()},
       }) {
    runner::Outputs outputs;
    outputs.words = c.words;
    outputs.png_dir = c.png_dir;
    outputs.profile = c.profile;
    outputs.gif = c.gif;
    outputs.vcd = c.vcd;
    std::ostringstream out, err;
    EXPECT_THROW(
        {
          runner::Session session(c.plan, outputs, out, err);
          sim::Board board(sim::make_audio(""));
          auto engine = runner::make_native_engine(board);
          session.prepare(board, *engine);
        },
        sim::Refusal)
        << c.what;
    EXPECT_EQ(listing(dir.path()), std::vector<std::string>{"file"}) << c.what;
  }
}

}  // namespace
