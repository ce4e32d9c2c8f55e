#include "view.h"

#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <stdexcept>

#include "emu/bench.h"
#include "runner/run.h"
#include "sim/audio_files.h"

namespace lpcdemo {
namespace {

constexpr double kUnmeasuredFps = 25;  // a native view's pace when there is no image to measure

// The pace of a native view: the cycle estimate of the same effect on the emulated chip.
std::function<double(std::size_t)> native_pace(const std::string& firmware,
                                               const std::string& sequence, std::int32_t start) {
  std::map<std::string, double, std::less<>> fps;
  if (std::filesystem::exists(firmware)) {
    constexpr int kMeasuredFrames = 2;
    for (const emu::EffectCost& c : emu::measure_bench(firmware, kMeasuredFrames).effects) {
      fps[c.name] = c.fps;
    }
  }
  auto fps_of = [fps](std::string_view effect) {
    auto it = fps.find(effect);
    return it == fps.end() ? kUnmeasuredFps : it->second;
  };
  const std::string effect = sequence == "demo" ? "plasma" : sequence;
  if (effect != "showcase") return [=](std::size_t) { return fps_of(effect); };
  return [=](std::size_t k) {
    return fps_of(runner::showcase_effect(runner::frame_counter(start, static_cast<int>(k))).name);
  };
}

}  // namespace

View::View(sim::Board& board, const ViewOptions& options, const ViewedRun& run) {
  // A WAV that the board hears, the room hears too, from the first frame the window shows.
  // A machine without speakers still shows the picture.
  if (!options.mute && run.audio.starts_with("wav:")) {
    try {
      player_.emplace(sim::wav_path(run.audio));
    } catch (const std::runtime_error& e) {
      std::cerr << "lpcdemo: " << e.what() << "; the view goes on without sound\n";
    }
  }
  live::WindowOptions w;
  w.effect = run.effect;
  w.scale = run.scale;
  w.fast = options.fast;
  if (run.paced_by && !options.fast)
    w.unclocked_fps = native_pace(*run.paced_by, run.effect, run.start);
  if (run.effect != "demo") {
    const std::int32_t start = run.start;
    w.frame_number = [start](std::size_t k) {
      return runner::frame_counter(start, static_cast<int>(k));
    };
  }
  if (player_) w.sound = [this](bool on) { player_->play(on); };
  window_.emplace(board, std::move(w));
}

}  // namespace lpcdemo
