// The module's interface to the page (app.js): one board and one native engine for the sequence
// the page opens, a frame for each step, the frames as RGBA, and the page's microphone as a
// queue of samples. C exports only, named for the page; strings come in through text_buf().
// A refusal (an unknown effect, a malformed audio source, a start for demo) is thrown as on the
// host and ends in a trap with its message on stderr (cxa_trap.cpp).
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "runner/colour.h"
#include "runner/engine.h"
#include "runner/run.h"
#include "sim/audio.h"
#include "sim/board.h"

#define LPCDEMO_EXPORT(name) extern "C" __attribute__((export_name(#name)))

namespace {

// "EFFECT\0AUDIO\0", as the page writes them before open().
constexpr std::size_t kTextBytes = 256;
// Samples the page hands over in one push: ample for the 128-sample blocks an audio worklet
// posts, even when a busy page lets a few of them gather.
constexpr std::size_t kPushSamples = 4096;

// The frames of the last step: one for an effect or the showcase, all of them for demo, whose
// single step runs the image's main.
class Frames final : public sim::LcdSink {
 public:
  void word(std::uint16_t) override {}
  void frame(const sim::LcdFrame& frame, std::uint64_t, double) override { kept_.push_back(frame); }
  void clear() { kept_.clear(); }
  const std::vector<sim::LcdFrame>& kept() const { return kept_; }

 private:
  std::vector<sim::LcdFrame> kept_;
};

// One opened sequence. Members go in reverse: the engine uninstalls itself as the bus before
// the board goes, and the board before the sink it writes to.
struct Run {
  std::string effect;
  Frames frames;
  sim::QueueSource* microphone = nullptr;  // owned by the board
  std::unique_ptr<sim::Board> board;
  std::unique_ptr<runner::Engine> engine;
  std::unique_ptr<runner::Sequence> sequence;
};

std::array<char, kTextBytes> g_text{};
std::array<float, kPushSamples> g_samples{};
std::array<std::uint8_t, sim::kLcdPixels * 4> g_rgba{};
std::unique_ptr<Run> g_run;

std::unique_ptr<sim::AudioSource> open_source(Run& run, const std::string& spec) {
  if (const auto peak = sim::parse_microphone(spec)) {
    auto queue = std::make_unique<sim::QueueSource>(*peak);
    run.microphone = queue.get();
    return queue;
  }
  return sim::make_audio(spec);
}

}  // namespace

LPCDEMO_EXPORT(text_buf) char* text_buf() {
  return g_text.data();
}

LPCDEMO_EXPORT(text_size) std::size_t text_size() {
  return g_text.size();
}

// Opens text_buf()'s effect with its audio source ("" for the built-in chord, or as --audio
// spells it, mic[:PEAK] for the page's microphone) at frame counter `start`: bring-up and the
// palette run here. Returns 0, or traps with the refusal on stderr.
LPCDEMO_EXPORT(open) int open(std::int32_t start) {
  g_text.back() = '\0';
  const std::string effect(g_text.data());
  const std::size_t audio_at = std::min(effect.size() + 1, g_text.size() - 1);
  const std::string audio(g_text.data() + audio_at);

  g_run.reset();
  auto run = std::make_unique<Run>();
  run->effect = effect;
  run->board = std::make_unique<sim::Board>(open_source(*run, audio));
  run->board->keep_history(false);
  run->board->add_sink(run->frames);
  run->engine = runner::make_native_engine(*run->board);
  run->sequence = std::make_unique<runner::Sequence>(*run->engine, effect, start);
  g_run = std::move(run);
  return 0;
}

// The firmware's counter of the frame the next step renders.
LPCDEMO_EXPORT(counter) std::int32_t counter() {
  return g_run ? g_run->sequence->counter() : 0;
}

// Renders the next frame; returns the frames it completed (demo: all of its main's at once,
// then none).
LPCDEMO_EXPORT(step) int step() {
  if (!g_run) return 0;
  g_run->frames.clear();
  g_run->sequence->step();
  return static_cast<int>(g_run->frames.kept().size());
}

// Frame i of the last step as 98 x 67 RGBA bytes, row by row; null past the last.
LPCDEMO_EXPORT(rgba) const std::uint8_t* rgba(int i) {
  if (!g_run || i < 0 || static_cast<std::size_t>(i) >= g_run->frames.kept().size()) {
    return nullptr;
  }
  const sim::LcdFrame& frame = g_run->frames.kept()[static_cast<std::size_t>(i)];
  for (std::size_t p = 0; p < frame.size(); ++p) {
    const runner::Rgb c = runner::rgb(frame[p]);
    g_rgba[p * 4] = c.r;
    g_rgba[p * 4 + 1] = c.g;
    g_rgba[p * 4 + 2] = c.b;
    g_rgba[p * 4 + 3] = 0xFF;
  }
  return g_rgba.data();
}

// The catalogue, for the page's names and frame rates.
LPCDEMO_EXPORT(effect_count) int effect_count() {
  return static_cast<int>(runner::effects().size());
}

LPCDEMO_EXPORT(effect_name) const char* effect_name(int i) {
  const auto list = runner::effects();
  // The catalogue's names are string literals: NUL-terminated.
  return i >= 0 && static_cast<std::size_t>(i) < list.size()
             ? list[static_cast<std::size_t>(i)].name.data()
             : nullptr;
}

// Which of the catalogue's effects the open sequence shows at frame counter n: the showcase's
// effect of the moment, the plasma for demo, or the effect itself.
LPCDEMO_EXPORT(shown_effect) int shown_effect(std::int32_t n) {
  if (!g_run) return -1;
  const auto list = runner::effects();
  const std::string_view name = g_run->effect == "showcase" ? runner::showcase_effect(n).name
                                : g_run->effect == "demo"   ? list.front().name
                                                            : std::string_view(g_run->effect);
  for (std::size_t i = 0; i < list.size(); ++i) {
    if (list[i].name == name) return static_cast<int>(i);
  }
  return -1;
}

// The page's microphone: it writes up to queue_capacity() samples (full scale +-1.0, at the
// converter's rate) at queue_buffer(), then queue_push(n) appends them to the queue the
// converter reads; the queue keeps the last quarter of a second. Nothing without mic[:PEAK].
LPCDEMO_EXPORT(queue_buffer) float* queue_buffer() {
  return g_samples.data();
}

LPCDEMO_EXPORT(queue_capacity) std::size_t queue_capacity() {
  return g_samples.size();
}

LPCDEMO_EXPORT(queue_push) void queue_push(std::size_t n) {
  if (!g_run || !g_run->microphone) return;
  g_run->microphone->push(g_samples.data(), std::min(n, g_samples.size()));
}

LPCDEMO_EXPORT(queue_size) std::size_t queue_size() {
  return g_run && g_run->microphone ? g_run->microphone->size() : 0;
}
