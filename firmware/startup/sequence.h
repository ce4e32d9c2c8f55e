// What main runs, callable on the host as well.
#pragma once

extern "C" {

// Bring-up, calibration, palette mode 0 and 50 plasma frames; returns where main halts.
void demo_sequence();
}
