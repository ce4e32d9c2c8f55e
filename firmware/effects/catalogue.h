// Every effect, in the order the showcase shows them: the name a viewer picks it by, the
// renderer's symbol in the image (the emulator calls it by that name), the palette mode it
// expects, whether its picture follows the audio input, and the renderer. The one list of
// effects: the showcase, the power-up demo (the first entry), the host runner and front end,
// the emulator's cycle report, the Makefile's `make demo` and the image's list of kept symbols
// (the last two read this file, one entry a line) all take it from here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "display/lcd.h"
#include "effects/effects.h"

// Whether the picture follows the converter's input, or uses only the zero level that
// bring-up measured.
enum class Audio : std::uint8_t { kIgnored, kShown };

struct EffectInfo {
  const char* name;
  const char* symbol;
  std::uint8_t palette;
  Audio audio;
  void (*render)(int n);
};

inline constexpr EffectInfo kEffectCatalogue[] = {
    {"plasma", "effectPlasma", kPaletteRainbow, Audio::kIgnored, effectPlasma},  // power-up
    {"cake", "effectCake", kPalettePicture, Audio::kIgnored, effectCake},
    {"fall", "effectFall", kPaletteRainbow, Audio::kShown, effectFall},
    {"roundwave", "effectRoundWave", kPaletteRainbow, Audio::kShown, effectRoundWave},
    {"fftwave", "effectFftAndWave", kPaletteRainbow, Audio::kShown, effectFftAndWave},
};
inline constexpr std::size_t kEffectCount = sizeof kEffectCatalogue / sizeof kEffectCatalogue[0];
