// What main runs, callable on the host as well.
#pragma once

#include "effects/catalogue.h"

// Frames each effect runs for in the showcase before the next one takes over.
inline constexpr int kShowcaseFramesPerEffect = 120;
inline constexpr int kShowcaseEffects = static_cast<int>(kEffectCount);
// The showcase repeats itself after this many frames.
inline constexpr int kShowcaseFrames = kShowcaseEffects * kShowcaseFramesPerEffect;

extern "C" {

// Bring-up, calibration, then the catalogue's first effect (the plasma) for 50 frames with its
// palette; returns where main halts.
void demo_sequence();

// Global showcase frame k: every effect of the catalogue in its order, each for
// kShowcaseFramesPerEffect frames, repeating. The first frame of each effect loads the palette
// the catalogue gives it; the effect gets its own frame count, from 0. Expects the board
// brought up and the zero level calibrated.
void showcase_frame(int k);
}
