// The runner's sequences: what a run does with an engine, for demo, showcase or one effect.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "runner/engine.h"

namespace runner {

struct Effect {
  std::string_view name;    // as a run names it
  std::string_view symbol;  // the renderer in the image
  std::int32_t palette;     // the palette mode it expects
  bool shows_audio;         // whether its picture follows the converter's input
};

// The firmware's effect catalogue, in the order the showcase shows the effects.
std::span<const Effect> effects();
std::optional<Effect> find_effect(std::string_view name);
// The effect that frame k of the showcase shows.
Effect showcase_effect(std::int32_t k);
// Whether what a sequence shows follows the converter's input, rather than only its zero level
// at bring-up: an effect's own flag; for demo, that of the effect it shows; for showcase,
// whether any effect's does. False for an unknown name.
bool shows_audio(std::string_view sequence);

// Bring-up as main does it before the first palette: clocks, pins, LCD, audio zero level.
inline constexpr std::string_view kBringUp[] = {"processor_init", "io_init", "lcd_init",
                                                "calibratead"};
void bring_up(Engine& engine);

// Frame k of a run that starts at `start`: the firmware's signed 32-bit counter, which wraps
// past its maximum to its minimum.
std::int32_t frame_counter(std::int32_t start, int k);

// A sequence played one frame at a time, for a caller that paces the frames itself.
// demo: the image's main (bring-up, calibration, palette 0, 50 plasma frames, halt).
// showcase: bring-up, then frame after frame of the showcase cycle through every effect.
// Any single effect: bring-up, its palette, then the effect for n = start, start + 1, ...; the
// showcase's counter likewise begins at start.
class Sequence {
 public:
  // Throws sim::Refusal, before the first call, for an unknown effect, a start for demo or an
  // engine that lacks a function the sequence calls; then brings the board up and sets the
  // effect's palette (demo's main does both itself).
  Sequence(Engine& engine, std::string_view effect, std::int32_t start = 0);

  // Renders the next frame. For demo the first step runs the image's main, which renders all
  // its frames and halts; a later step does nothing.
  void step();
  // The firmware's counter of the frame the next step renders.
  std::int32_t counter() const { return next_; }

 private:
  Engine& engine_;
  std::string_view symbol_;  // the renderer a step calls; empty for demo
  std::int32_t next_;
  bool main_ran_ = false;
};

// The sequence for `frames` frames (demo renders its own number of frames in its one step).
// Throws what Sequence does.
void run_sequence(Engine& engine, std::string_view effect, int frames, std::int32_t start = 0);

// The same refusals alone, for a caller that prepares outputs before the run.
void check_sequence(const Engine& engine, std::string_view effect, std::int32_t start = 0);

}  // namespace runner
