#include "dsp/waveops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "board/io.h"
#include "scripted_adc.h"

namespace {

using test::ScopedBus;
using test::ScriptedAdc;

constexpr int kZero = 512;
constexpr int kCalibration = 2 * 1024;  // two passes settle a constant input

class Sampling : public ::testing::Test {
 protected:
  void SetUp() override { avg = kZero; }
  void TearDown() override { avg = 0; }

  ScriptedAdc adc;
  ScopedBus scope{adc};
};

// Trigger.

TEST_F(Sampling, SilentInputTriggersAfterTwoSamples) {
  WaitZeroCross();
  EXPECT_EQ(adc.conversions, 2);

  std::array<std::int8_t, 98> wave;
  wave.fill(55);
  SampleWave(98, wave.data());
  EXPECT_EQ(adc.conversions, 2 + 2 + 98);
  for (std::int8_t v : wave) EXPECT_EQ(v, 0);
  EXPECT_EQ(avg, kZero);
}

TEST_F(Sampling, ConstantPlusThreeTimesOutInTheFirstWait) {
  adc.after = kZero + 3;
  WaitZeroCross();
  // 201 samples wait above the band, one more is taken below it, then two calibration passes.
  EXPECT_EQ(adc.conversions, 201 + 1 + kCalibration);
  EXPECT_EQ(avg, kZero + 3);
}

TEST_F(Sampling, ConstantMinusThreeTimesOutInTheSecondWait) {
  adc.after = kZero - 3;
  std::array<std::int8_t, 98> wave;
  SampleWave(98, wave.data());
  EXPECT_EQ(adc.conversions, 1 + 201 + kCalibration + 98);
  EXPECT_EQ(avg, kZero - 3);
  for (std::int8_t v : wave) EXPECT_EQ(v, 0);  // measured against the new zero level
}

// 100 samples above the band use up half the allowance, so the wait below it times out after
// another 100: both waits share one counter. The calibration then sees a steady zero level.
TEST_F(Sampling, BothWaitsShareOneCounter) {
  adc.add(kZero, 10, 100);
  adc.add(kZero, -10, 102);
  adc.after = kZero + 1;  // the level the recalibration must find
  std::array<std::int8_t, 4> wave;
  SampleWave(4, wave.data());
  EXPECT_EQ(adc.conversions, 202 + kCalibration + 4);
  EXPECT_EQ(avg, kZero + 1);
}

TEST_F(Sampling, EndsAtFirstSampleOfMinusTwoAfterComingDownToPlusTwo) {
  for (int s : {3, 2, -3, -2, 7, 8}) adc.add(kZero, s);
  std::array<std::int8_t, 2> wave;
  SampleWave(2, wave.data());
  EXPECT_EQ(adc.conversions, 4 + 2);
  EXPECT_EQ(wave[0], 7);
  EXPECT_EQ(wave[1], 8);
}

// Falling by one every four samples from +20: the first wait ends at sample 72, the first to
// reach +2; sample 73 (also +2) ends the second, and the capture starts at sample 74.
TEST_F(Sampling, SlowFallingRampTriggersNearZeroWithoutRecalibrating) {
  for (int k = 0; k < 400; ++k) adc.add(kZero, 20 - k / 4);
  std::array<std::int8_t, 98> wave;
  SampleWave(98, wave.data());
  EXPECT_EQ(adc.conversions, 74 + 98);
  EXPECT_EQ(avg, kZero);
  for (int x = 0; x < 98; ++x) EXPECT_EQ(wave[x], 20 - (74 + x) / 4) << x;
}

// Rising by one every eight samples from -50, levelling out at 0 after sample 400: the second
// wait runs out at sample 201. The first calibration pass still sees the ramp and measures low,
// so a second pass (512) rises above it and a third confirms 512.
TEST_F(Sampling, SlowRisingRampTimesOutAndRecalibrates) {
  for (int k = 0; k < 400; ++k) adc.add(kZero, -50 + k / 8);
  std::array<std::int8_t, 98> wave;
  SampleWave(98, wave.data());
  EXPECT_EQ(adc.conversions, 202 + 3 * 1024 + 98);
  EXPECT_EQ(avg, kZero);
  for (std::int8_t v : wave) EXPECT_EQ(v, 0);
}

// SampleWave keeps the low 8 bits of each sample.

TEST_F(Sampling, WaveSamplesWrapToEightBits) {
  adc.add(kZero, 0, 2);
  const std::vector<int> samples = {100, 200, -129, -200, 127, -128, 511, -512};
  for (int s : samples) adc.add(kZero, s);
  std::array<std::int8_t, 8> wave;
  SampleWave(8, wave.data());
  EXPECT_EQ(wave, (std::array<std::int8_t, 8>{100, -56, 127, 56, 127, -128, -1, 0}));
}

// SampleAndFFT.

struct Capture {
  std::array<std::int8_t, 255> fft;
  std::array<std::int8_t, 255> wave;
  std::array<std::int16_t, 512> samps;
};

// Triggers on two samples at the zero level, then captures `samples` (zero after their end).
Capture sample_and_fft(ScriptedAdc& adc, int zero, std::uint8_t no, const std::vector<int>& samples,
                       std::int8_t fill = 99) {
  adc.add(zero, 0, 2);
  for (int s : samples) adc.add(zero, s);
  adc.after = zero;
  Capture c;
  c.fft.fill(fill);
  c.wave.fill(fill);
  SampleAndFFT(no, c.fft.data(), c.wave.data(), c.samps.data());
  return c;
}

TEST_F(Sampling, SpectrumOfSilenceIsZero) {
  const Capture c = sample_and_fft(adc, kZero, 98, {});
  EXPECT_EQ(adc.conversions, 2 + 512);
  for (int b = 0; b < 98; ++b) {
    EXPECT_EQ(c.fft[b], 0) << b;
    EXPECT_EQ(c.wave[b], 0) << b;
  }
}

TEST_F(Sampling, SpectrumCaptureRecalibratesOnTimeOut) {
  adc.after = kZero + 3;
  std::array<std::int8_t, 98> fft, wave;
  std::array<std::int16_t, 512> samps;
  SampleAndFFT(98, fft.data(), wave.data(), samps.data());
  EXPECT_EQ(adc.conversions, 202 + kCalibration + 512);
  EXPECT_EQ(avg, kZero + 3);
}

// The waveform uses the even samples s0, s2, ... s254: each times 32, high byte, limited to
// +-32. Odd samples of 300 would show as 32 if they were used.
TEST_F(Sampling, WaveformIsTheEvenSamplesDividedByEightAndLimited) {
  const std::vector<int> even = {255, 256, 264, -264, -1, -8, -9, 7, 0, 100};
  std::vector<int> samples;
  for (int s : even) {
    samples.push_back(s);
    samples.push_back(300);
  }
  const Capture c = sample_and_fft(adc, kZero, 128, samples);
  const std::vector<int> expected = {31, 32, 32, -32, -1, -1, -2, 0, 0, 12};
  for (std::size_t x = 0; x < expected.size(); ++x) EXPECT_EQ(c.wave[x], expected[x]) << x;
  for (int x = static_cast<int>(even.size()); x < 128; ++x) EXPECT_EQ(c.wave[x], 0) << x;
}

// A constant c: every transformed value is zero except the DC term, 32c in both parts (exact
// for c up to 512), so fft[0] = 32c / 16 = 2c in eight bits and the waveform is c / 8.
TEST_F(Sampling, ConstantInputShowsOnlyInTheFirstSpectrumValue) {
  struct Case {
    int c;
    int fft0;
    int wave;
  };
  for (std::uint8_t no : {98, 128}) {
    for (const Case& k : {Case{1, 2, 0}, Case{10, 20, 1}, Case{100, -56, 12}}) {
      avg = kZero;
      adc.codes.clear();
      adc.conversions = 0;
      const Capture c = sample_and_fft(adc, kZero, no, std::vector<int>(512, k.c));
      EXPECT_EQ(c.fft[0], k.fft0) << "no " << int{no} << ", c " << k.c;
      for (int b = 1; b < no; ++b) ASSERT_EQ(c.fft[b], 0) << "no " << int{no} << ", b " << b;
      for (int b = 0; b < no; ++b) ASSERT_EQ(c.wave[b], k.wave) << "no " << int{no} << ", b " << b;
    }
  }
}

// A first sample of 1023 with silence after it is an impulse in the imaginary input at t = 0:
// every stage halves it exactly, so all 256 imaginary outputs are 32736 >> 8 = 127, and each
// spectrum value is 127 / 16 = 7 per transformed value folded onto it.
TEST_F(Sampling, ImpulseShowsHowTransformedValuesFoldOntoNinetyEightColumns) {
  avg = 0;
  const Capture c = sample_and_fft(adc, 0, 98, {1023});
  int doubles = 0;
  for (int b = 0; b < 98; ++b) {
    ASSERT_TRUE(c.fft[b] == 7 || c.fft[b] == 14) << b << ": " << int{c.fft[b]};
    if (c.fft[b] == 14) ++doubles;
  }
  EXPECT_EQ(doubles, 30);
  for (int b : {0, 3, 6, 9, 13, 16, 19, 22}) EXPECT_EQ(c.fft[b], 14) << b;
  for (int b : {1, 2, 4, 5, 7, 8, 10, 11, 12}) EXPECT_EQ(c.fft[b], 7) << b;
  // wave[0] comes from x = 0 and x = 1; the later one (sample 2, silent) wins.
  for (int b = 0; b < 98; ++b) EXPECT_EQ(c.wave[b], 0) << b;
}

TEST_F(Sampling, ImpulseGivesOneValuePerIndexForOneHundredTwentyEight) {
  avg = 0;
  const Capture c = sample_and_fft(adc, 0, 128, {1023});
  for (int b = 0; b < 128; ++b) EXPECT_EQ(c.fft[b], 7) << b;
  EXPECT_EQ(c.wave[0], 32);  // 1023 / 8 limited
  for (int b = 1; b < 128; ++b) EXPECT_EQ(c.wave[b], 0) << b;
}

// -1000 halves exactly to -125 in eight stages; -125 / 16 truncates to -7 (a shift gives -8).
TEST_F(Sampling, SpectrumDivisionTruncatesTowardZero) {
  avg = 1023;
  const Capture c = sample_and_fft(adc, 1023, 128, {-1000});
  for (int b = 0; b < 128; ++b) EXPECT_EQ(c.fft[b], -7) << b;
  EXPECT_EQ(c.wave[0], -32);
}

// Above 128 outputs, 128 values spread over `no` indices; the rest keep the caller's waveform
// and a zero spectrum. The last value, x = 127, lands on floor(127 * 200 / 128) = 198.
TEST_F(Sampling, MoreOutputsThanValuesLeaveGaps) {
  avg = 0;
  const Capture c = sample_and_fft(adc, 0, 200, {1023}, -99);
  EXPECT_EQ(std::count(c.fft.begin(), c.fft.begin() + 200, 7), 128);
  EXPECT_EQ(std::count(c.fft.begin(), c.fft.begin() + 200, 0), 72);
  EXPECT_EQ(std::count(c.wave.begin(), c.wave.begin() + 200, -99), 72);
  EXPECT_EQ(c.fft[198], 7);
  EXPECT_EQ(c.fft[199], 0);
  EXPECT_EQ(c.wave[199], -99);
  EXPECT_EQ(c.fft[200], -99);  // nothing beyond `no` is touched
}

// A request for no outputs still triggers and captures, but writes nothing back.
TEST_F(Sampling, NoOutputsWritesNothing) {
  avg = 0;
  const Capture c = sample_and_fft(adc, 0, 0, {1023}, -99);
  EXPECT_EQ(adc.conversions, 2 + 512);
  EXPECT_EQ(c.fft[0], -99);
  EXPECT_EQ(c.wave[0], -99);
}

}  // namespace
