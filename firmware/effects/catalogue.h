// Every effect, in the order the showcase shows them: the name a viewer picks it by, the
// renderer's symbol in the image (the emulator calls it by that name), and the palette mode it
// expects. The one list of effects: the showcase, the host runner, the emulator's cycle report
// and the image's list of kept symbols (read by the build, one entry a line) all take it from
// here.
#pragma once

#include <cstddef>
#include <cstdint>

#include "display/lcd.h"
#include "effects/effects.h"

struct EffectInfo {
  const char* name;
  const char* symbol;
  std::uint8_t palette;
  void (*render)(int n);
};

inline constexpr EffectInfo kEffectCatalogue[] = {
    {"plasma", "effectPlasma", kPaletteRainbow, effectPlasma},  // the power-up effect
    {"cake", "effectCake", kPalettePicture, effectCake},
    {"fall", "effectFall", kPaletteRainbow, effectFall},
    {"roundwave", "effectRoundWave", kPaletteRainbow, effectRoundWave},
    {"fftwave", "effectFftAndWave", kPaletteRainbow, effectFftAndWave},
};
inline constexpr std::size_t kEffectCount = sizeof kEffectCatalogue / sizeof kEffectCatalogue[0];
