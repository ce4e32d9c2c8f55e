#include "dsp/waveops.h"

#include "board/io.h"
#include "dsp/fix_fft.h"

namespace {

constexpr int kBand = 2;       // samples within -2..+2 count as the zero level
constexpr int kTimeout = 200;  // waiting samples of both phases together
constexpr int kScratch = 512;  // samples captured for the spectrum
constexpr int kHalf = kScratch / 2;
constexpr unsigned kReduced = 128;  // transformed values and waveform samples folded onto `no`
constexpr int kCaptureShift = 5;    // samples within +-1023 times 32 still fit in 16 bits
constexpr int kWaveShift = 8;       // the high byte: a captured sample divided by 8
constexpr int kWaveLimit = 32;
constexpr int kSpectrumDivisor = 16;
constexpr int kLog2Scratch = 9;
static_assert(1 << kLog2Scratch == kScratch);
static_assert(1023 << kCaptureShift <= 32767);

// Waits for the signal to come down to the band and then up to it, with one counter for both
// waits; a wait that runs out means the zero level has drifted, so it is measured again.
void trigger() {
  int t = 0;
  while (adc::sample() > kBand && t < kTimeout) ++t;
  while (adc::sample() < -kBand && t < kTimeout) ++t;
  if (t == kTimeout) calibratead();
}

int limit_wave(int v) {
  if (v < -kWaveLimit) return -kWaveLimit;
  if (v > kWaveLimit) return kWaveLimit;
  return v;
}

}  // namespace

void WaitZeroCross() {
  trigger();
}

void SampleWave(std::uint8_t no, std::int8_t wave[]) {
  trigger();
  if (no == 0) return;
  const std::uint16_t zero = avg;
  adc::start();
  for (int x = 0; x < no - 1; ++x) {
    const std::uint32_t code = adc::finish();
    adc::start();  // the next conversion runs while this sample is stored
    wave[x] = static_cast<std::int8_t>(adc::to_sample(code, zero));
  }
  wave[no - 1] = static_cast<std::int8_t>(adc::to_sample(adc::finish(), zero));
}

void SampleAndFFT(std::uint8_t no, std::int8_t fft[], std::int8_t wave[], std::int16_t samps[]) {
  trigger();
  // Even samples to the lower half and odd ones to the upper half, as the real transform wants.
  // Each conversion starts as soon as the one before has been read.
  const std::uint16_t zero = avg;
  adc::start();
  for (int y = 0; y < kHalf; ++y) {
    const std::uint32_t even = adc::finish();
    adc::start();
    samps[y] = static_cast<std::int16_t>(adc::to_sample(even, zero) << kCaptureShift);
    const std::uint32_t odd = adc::finish();
    if (y < kHalf - 1) adc::start();
    samps[y + kHalf] = static_cast<std::int16_t>(adc::to_sample(odd, zero) << kCaptureShift);
  }

  // With no outputs asked for, every x would fold onto index 0, one past the caller's arrays.
  if (no == 0) return;

  // Several x may fold onto one index b; ascending x lets the last one win.
  for (unsigned x = 0, t = 0; x < kReduced; ++x, t += no) {
    wave[t / kReduced] = static_cast<std::int8_t>(limit_wave(samps[x] >> kWaveShift));
  }

  fix_fftr(samps, kLog2Scratch, 0);

  for (int b = 0; b < no; ++b) fft[b] = 0;
  for (unsigned x = 0, t = 0; x < kReduced; ++x, t += no) {
    const unsigned b = t / kReduced;
    fft[b] = static_cast<std::int8_t>(fft[b] + samps[x] / kSpectrumDivisor);
  }
}
