// Triggered capture of the audio input near its zero level.
#pragma once

#include <cstdint>

extern "C" {

void WaitZeroCross();
void SampleWave(std::uint8_t no, std::int8_t wave[]);
// samps: 512 values of scratch, overwritten.
void SampleAndFFT(std::uint8_t no, std::int8_t fft[], std::int8_t wave[], std::int16_t samps[]);
}
