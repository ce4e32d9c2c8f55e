// The runner's sequences: what `lpcdemo run --effect ...` does with an engine.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "tools/lpcdemo/engine.h"

namespace runner {

struct Effect {
  std::string_view name;    // as given to --effect
  std::string_view symbol;  // the renderer in the image
  std::int32_t palette;     // the palette mode it expects
};

// The effects in the order the showcase shows them. This list and bring_up are header-only so
// that the emulator's cycle report runs the very same steps without linking the runner.
inline constexpr Effect kEffects[] = {
    {"plasma", "effectPlasma", 0},      {"cake", "effectCake", 2},
    {"fall", "effectFall", 0},          {"roundwave", "effectRoundWave", 0},
    {"fftwave", "effectFftAndWave", 0},
};

inline std::optional<Effect> find_effect(std::string_view name) {
  for (const Effect& e : kEffects) {
    if (e.name == name) return e;
  }
  return std::nullopt;
}

// Bring-up as main does it before the first palette: clocks, pins, LCD, audio zero level.
inline constexpr std::string_view kBringUp[] = {"processor_init", "io_init", "lcd_init",
                                                "calibratead"};
inline void bring_up(Engine& engine) {
  for (std::string_view step : kBringUp) engine.call(step);
}

// demo: the image's main (bring-up, calibration, palette 0, 50 plasma frames, halt).
// showcase: bring-up, then `frames` frames of the showcase cycle through every effect.
// Any single effect: bring-up, its palette, then the effect for n = 0 .. frames-1.
// Throws std::invalid_argument, before the first call, for an unknown effect or an engine that
// lacks a function the sequence calls.
void run_sequence(Engine& engine, std::string_view effect, int frames);

}  // namespace runner
