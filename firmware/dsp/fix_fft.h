// Fixed-point radix-2 FFT on Q15 data with block scaling.
#pragma once

#include <cstdint>

extern "C" {

// Q15 product rounded to nearest, ties toward plus infinity.
std::int16_t FIX_MPY(std::int16_t a, std::int16_t b);

// In-place transform of 2^m complex points; returns the inverse's scale count, or -1 for m > 10.
int fix_fft(std::int16_t fr[], std::int16_t fi[], std::int16_t m, std::int16_t inverse);

// In-place transform of 2^m real values through one complex transform of 2^(m-1) points.
int fix_fftr(std::int16_t f[], int m, int inverse);
}
