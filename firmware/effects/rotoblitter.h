// Rotozoom blitter: fills dispram with a turned, scaled, endlessly tiled view of an image.
#pragma once

#include <cstdint>

extern "C" {

// deg: 1024 steps per turn; zoom: image pixels per screen pixel in 1/256 (low 16 bits,
// signed); (midx, midy): the screen point that shows the image's middle.
void rotoblit(const std::uint8_t* pic, std::int16_t w, std::int16_t h, std::int16_t deg,
              std::int32_t zoom, std::uint8_t midx, std::uint8_t midy);
}
