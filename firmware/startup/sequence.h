// What main runs, callable on the host as well.
#pragma once

#include "effects/catalogue.h"

// Frames each effect runs for in the showcase before the next one takes over.
inline constexpr int kShowcaseFramesPerEffect = 120;
inline constexpr int kShowcaseEffects = static_cast<int>(kEffectCount);
// The showcase repeats itself after this many frames.
inline constexpr int kShowcaseFrames = kShowcaseEffects * kShowcaseFramesPerEffect;

extern "C" {

// Bring-up, calibration, palette mode 0 and 50 plasma frames; returns where main halts.
void demo_sequence();

// Global showcase frame k: plasma, cake, fall, round wave, then spectrum and wave, each for
// kShowcaseFramesPerEffect frames, repeating. The first frame of each effect loads its palette
// (2 for the cake, 0 otherwise); the effect gets its own frame count, from 0. Expects the board
// brought up and the zero level calibrated.
void showcase_frame(int k);
}
