// Frame renderers: one call draws frame n into dispram and sends it.
#pragma once

#include <cstdint>

extern "C" {

void effectPlasma(int n);  // palette mode 0
void effectCake(int n);    // palette mode 2
void effectFall(int n);
void effectRoundWave(int n);
void effectFftAndWave(int n);

// The cake picture: width x height palette indices 0..127, row-major.
extern const std::uint8_t header_data[];
// The text mask: txtwidth x 10 grey levels, row-major.
extern const std::uint8_t txtdata[];
// Initialised variables, not constants: their users read them at run time.
extern std::uint32_t txtwidth;
extern std::uint32_t height;
extern std::uint32_t width;
}
