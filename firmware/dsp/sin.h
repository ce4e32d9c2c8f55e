// Fixed-point sine: angles in 1024 steps per turn (only the low 10 bits count), results Q15
// from -32767 to +32767.
#pragma once

#include <cstdint>

extern "C" {

// Quarter wave: sintab[i] = trunc(32767 * sin(i * pi / 512)), i = 0..256.
extern const std::int16_t sintab[257];

std::int16_t isin(std::int16_t g);
std::int16_t icos(std::int16_t g);
}
