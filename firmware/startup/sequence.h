// What main runs, callable on the host as well.
#pragma once

extern "C" {

// Bring-up, calibration, palette mode 0 and 50 plasma frames; returns where main halts.
void demo_sequence();

// Frame k of the showcase: every effect in turn, each with the palette it expects.
void showcase_frame(int k);
}
