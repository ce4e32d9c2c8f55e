// The runner's sequences: what `lpcdemo run --effect ...` does with an engine.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/lpcdemo/engine.h"

namespace runner {

struct Effect {
  std::string_view name;    // as given to --effect
  std::string_view symbol;  // the renderer in the image
  int palette;              // the palette mode it expects
  bool audio;               // draws the audio input
};

// plasma, cake, fall, roundwave, fftwave.
const std::vector<Effect>& effects();
std::optional<Effect> find_effect(std::string_view name);

// demo: the image's main (bring-up, calibration, palette 0, 50 plasma frames, halt).
// showcase: bring-up, then `frames` frames of the showcase cycle through every effect.
// Any single effect: bring-up, its palette, then the effect for n = 0 .. frames-1.
void run_sequence(Engine& engine, std::string_view effect, int frames);

// Bring-up as main does it before the first palette: clocks, pins, LCD, audio zero level.
void bring_up(Engine& engine);

}  // namespace runner
