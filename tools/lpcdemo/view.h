// What `lpcdemo view` shows a run in: the live window, paced for the native engine by the
// emulated chip's cycle estimate, its title counting the effect's own frames, and a WAV input
// played along.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "live/audio.h"
#include "live/window.h"
#include "sim/board.h"

namespace lpcdemo {

struct ViewOptions {
  bool fast = false;
  bool mute = false;
};

// What the run shows: its sequence, the frame counter it starts at, the pixel size, the audio
// source, and for the native engine the image whose estimate paces it (nullptr: the board's
// own clock).
struct ViewedRun {
  std::string effect;
  std::int32_t start = 0;
  int scale = 4;
  std::string audio;
  const std::string* paced_by = nullptr;
};

class View {
 public:
  // Throws sim::Refusal when no window can be opened; a WAV that cannot be played is said once
  // on stderr, and the view goes on without sound.
  View(sim::Board& board, const ViewOptions& options, const ViewedRun& run);
  live::Window& window() { return *window_; }

 private:
  std::optional<live::Player> player_;
  std::optional<live::Window> window_;
};

}  // namespace lpcdemo
