#include "dsp/waveops.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <vector>

#include "board/io.h"
#include "firmware/scripted_adc.h"

namespace {

constexpr int kZero = 512;
constexpr int kCalibration = 2 * 1024;  // two passes settle a constant input

class Sampling : public ::testing::Test {
 protected:
  void SetUp() override { avg = kZero; }
  void TearDown() override { avg = 0; }

  test::ScriptedAdc adc;
  test::ScopedBus scope{adc};
  std::array<std::int8_t, 255> wave;
};

// Trigger: conversions taken, and the zero level after a time-out.

TEST_F(Sampling, SilenceTriggersAfterTwoSamples) {
  WaitZeroCross();
  EXPECT_EQ(adc.conversions, 2);
  SampleWave(98, wave.data());
  EXPECT_EQ(adc.conversions, 2 + 2 + 98);
  EXPECT_TRUE(std::all_of(wave.begin(), wave.begin() + 98, [](int v) { return v == 0; }));
  EXPECT_EQ(avg, kZero);
}

// +3: 201 samples wait above the band and one more is taken below it; -3: one, then 201.
// Either way two calibration passes follow, and the capture is measured from the new level.
TEST_F(Sampling, ConstantOffsetTimesOutAndRecalibrates) {
  for (int offset : {3, -3}) {
    adc.conversions = 0;
    adc.after = kZero + offset;
    avg = kZero;
    SampleWave(98, wave.data());
    EXPECT_EQ(adc.conversions, 202 + kCalibration + 98) << offset;
    EXPECT_EQ(avg, kZero + offset);
    EXPECT_TRUE(std::all_of(wave.begin(), wave.begin() + 98, [](int v) { return v == 0; }));
  }
}

// 100 samples above the band use up half the allowance, so the wait below it times out after
// another 100: the two waits share one counter.
TEST_F(Sampling, BothWaitsShareOneCounter) {
  adc.add(kZero, 10, 100);
  adc.add(kZero, -10, 102);
  adc.after = kZero + 1;
  WaitZeroCross();
  EXPECT_EQ(adc.conversions, 202 + kCalibration);
  EXPECT_EQ(avg, kZero + 1);
}

TEST_F(Sampling, CaptureStartsAfterTheFirstSampleOfMinusTwoOrMore) {
  for (int s : {3, 2, -3, -2, 7, 8}) adc.add(kZero, s);
  SampleWave(2, wave.data());
  EXPECT_EQ(adc.conversions, 6);
  EXPECT_EQ(wave[0], 7);
  EXPECT_EQ(wave[1], 8);
}

// Each capture conversion starts as soon as the one before is read, yet a capture takes
// exactly the samples asked for, each its own conversion's, and none at all for no = 0.
TEST_F(Sampling, CaptureTakesExactlyTheSamplesAskedFor) {
  for (int no : {0, 1, 2, 98}) {
    adc.conversions = 0;
    adc.codes.clear();
    for (int s : {0, 0}) adc.add(kZero, s);  // the trigger's two
    for (int x = 0; x < no; ++x) adc.add(kZero, x - 40);
    wave.fill(99);
    SampleWave(static_cast<std::uint8_t>(no), wave.data());
    EXPECT_EQ(adc.conversions, 2 + no) << no;
    for (int x = 0; x < no; ++x) EXPECT_EQ(wave[x], x - 40) << no << " " << x;
    EXPECT_EQ(wave[no], 99) << no;
  }
}

// Falling by one every four samples from +20: sample 72 is the first at +2, sample 73 (+2)
// ends the second wait, and the capture starts at sample 74.
TEST_F(Sampling, SlowFallingRampTriggersWithoutRecalibrating) {
  for (int k = 0; k < 400; ++k) adc.add(kZero, 20 - k / 4);
  SampleWave(98, wave.data());
  EXPECT_EQ(adc.conversions, 74 + 98);
  EXPECT_EQ(avg, kZero);
  for (int x = 0; x < 98; ++x) EXPECT_EQ(wave[x], 20 - (74 + x) / 4) << x;
}

// Rising by one every eight samples from -50 and level at 0 from sample 400: the second wait
// runs out at sample 201. The first calibration pass still sees the ramp and comes out below
// 512, the second (512) rises above it, the third confirms it.
TEST_F(Sampling, SlowRisingRampTimesOutAndRecalibrates) {
  for (int k = 0; k < 400; ++k) adc.add(kZero, -50 + k / 8);
  SampleWave(98, wave.data());
  EXPECT_EQ(adc.conversions, 202 + 3 * 1024 + 98);
  EXPECT_EQ(avg, kZero);
}

TEST_F(Sampling, WaveKeepsTheLowEightBits) {
  adc.add(kZero, 0, 2);
  for (int s : {100, 200, -129, -200, 127, -128, 511, -512}) adc.add(kZero, s);
  SampleWave(8, wave.data());
  EXPECT_EQ(std::vector<int>(wave.begin(), wave.begin() + 8),
            (std::vector<int>{100, -56, 127, 56, 127, -128, -1, 0}));
}

// SampleAndFFT: trigger on two samples at the zero level, capture `samples`, then silence.
class Spectrum : public Sampling {
 protected:
  void capture(int zero, std::uint8_t no, const std::vector<int>& samples) {
    avg = static_cast<std::uint16_t>(zero);
    adc.add(zero, 0, 2);
    for (int s : samples) adc.add(zero, s);
    adc.after = zero;
    fft.fill(-99);
    wave.fill(-99);
    SampleAndFFT(no, fft.data(), wave.data(), samps.data());
  }

  std::vector<int> fft_of(int no) const { return {fft.begin(), fft.begin() + no}; }
  std::vector<int> wave_of(int no) const { return {wave.begin(), wave.begin() + no}; }

  std::array<std::int8_t, 255> fft;
  std::array<std::int16_t, 512> samps;
};

TEST_F(Spectrum, TimeOutRecalibratesToo) {
  adc.after = kZero + 3;
  SampleAndFFT(98, fft.data(), wave.data(), samps.data());
  EXPECT_EQ(adc.conversions, 202 + kCalibration + 512);
  EXPECT_EQ(avg, kZero + 3);
}

// The even samples s0, s2 .. s254 times 32, high byte (s / 8 floored), limited to +-32. Odd
// samples of 300 would show as 32 if they were used.
TEST_F(Spectrum, WaveformIsEvenSamplesOverEightLimited) {
  const std::vector<int> even = {255, 256, 264, -264, -1, -8, -9, 7, 100};
  std::vector<int> samples;
  for (int s : even) samples.insert(samples.end(), {s, 300});
  capture(kZero, 128, samples);
  std::vector<int> expected = {31, 32, 32, -32, -1, -1, -2, 0, 12};
  expected.resize(128, 0);
  EXPECT_EQ(wave_of(128), expected);
}

// A constant c leaves only the DC term, 32c in both parts (exact up to c = 512):
// fft[0] = 32c / 16 = 2c in eight bits, the waveform c / 8.
TEST_F(Spectrum, ConstantInputShowsInTheFirstValueOnly) {
  struct Case {
    int c, fft0, wave;
  };
  for (int no : {98, 128}) {
    for (const Case& k : {Case{0, 0, 0}, Case{1, 2, 0}, Case{10, 20, 1}, Case{100, -56, 12}}) {
      adc.codes.assign(adc.conversions, kZero);
      capture(kZero, static_cast<std::uint8_t>(no), std::vector<int>(512, k.c));
      std::vector<int> expected(no, 0);
      expected[0] = k.fft0;
      EXPECT_EQ(fft_of(no), expected) << "no " << no << ", c " << k.c;
      EXPECT_EQ(wave_of(no), std::vector<int>(no, k.wave)) << "no " << no << ", c " << k.c;
    }
  }
}

// A lone first sample s is an imaginary impulse at t = 0: each of the eight stages halves it
// (exactly for the values here), so all 256 imaginary outputs are 32s >> 8, and each spectrum
// value gets (32s >> 8) / 16 per transformed value folded onto it.
TEST_F(Spectrum, ImpulseShowsHowValuesFoldOntoNinetyEightColumns) {
  capture(0, 98, {1023});  // 32736 >> 8 = 127, / 16 = 7
  EXPECT_EQ(std::count(fft.begin(), fft.begin() + 98, 14), 30);
  EXPECT_EQ(std::count(fft.begin(), fft.begin() + 98, 7), 68);
  for (int b : {0, 3, 6, 9, 13, 16, 19, 22}) EXPECT_EQ(fft[b], 14) << b;
  // wave[0] comes from x = 0 and x = 1; the later (sample 2, silent) wins.
  EXPECT_EQ(wave_of(98), std::vector<int>(98, 0));
}

TEST_F(Spectrum, ImpulseGivesOneValuePerIndexForOneHundredTwentyEight) {
  capture(0, 128, {1023});
  EXPECT_EQ(fft_of(128), std::vector<int>(128, 7));
  EXPECT_EQ(wave[0], 32);
}

// -1000 halves exactly to -125; -125 / 16 truncates to -7 where a shift would give -8.
TEST_F(Spectrum, DivisionTruncatesTowardZero) {
  capture(1023, 128, {-1000});
  EXPECT_EQ(fft_of(128), std::vector<int>(128, -7));
  EXPECT_EQ(wave[0], -32);
}

// 128 values over 200 indices leave 72 gaps: caller's waveform, zero spectrum. The last value
// lands on floor(127 * 200 / 128) = 198.
TEST_F(Spectrum, MoreOutputsThanValuesLeaveGaps) {
  capture(0, 200, {1023});
  EXPECT_EQ(std::count(fft.begin(), fft.begin() + 200, 7), 128);
  EXPECT_EQ(std::count(fft.begin(), fft.begin() + 200, 0), 72);
  EXPECT_EQ(std::count(wave.begin(), wave.begin() + 200, -99), 72);
  EXPECT_EQ(fft[198], 7);
  EXPECT_EQ(fft[199], 0);
  EXPECT_EQ(fft[200], -99);
}

TEST_F(Spectrum, NoOutputsWritesNothing) {
  capture(0, 0, {1023});
  EXPECT_EQ(adc.conversions, 2 + 512);
  EXPECT_EQ(fft[0], -99);
  EXPECT_EQ(wave[0], -99);
}

}  // namespace
