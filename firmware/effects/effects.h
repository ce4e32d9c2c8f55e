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

// The cake effect's pieces, apart so that each can be checked on its own.
namespace cake {

struct Params {
  std::int16_t deg;   // rotation, 1024 steps per turn
  std::int32_t zoom;  // image pixels per screen pixel in 1/256
  std::uint8_t midx;  // screen point that shows the picture's middle
  std::uint8_t midy;
};

// Blitter settings for frame n: turning, zooming and drifting with n.
Params params(int n);

// Shades every dispram pixel under the wavy text band of frame n; mask has 10 rows of
// mask_width grey levels.
void mark_text(const std::uint8_t* mask, std::uint32_t mask_width, int n);

}  // namespace cake
