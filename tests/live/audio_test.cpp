// The microphone: the format it asks of the capture device, and the levels it makes of what
// SDL's disk driver (standing in for a device) reads from a file.
#include "live/audio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace {

// Mono at 48 kHz, the rate its resampler converts from; signed 16-bit integers in the host's
// byte order, as it reads each sample as std::int16_t. Asked for otherwise, SDL would hand over
// bytes that read as another rate, another channel's samples or noise.
TEST(Microphone, AsksForSigned16BitMonoAt48kHzInTheHostsByteOrder) {
  const SDL_AudioSpec spec = live::capture_spec();
  EXPECT_EQ(spec.freq, 48000);
  EXPECT_EQ(spec.channels, 1);
  EXPECT_EQ(SDL_AUDIO_BITSIZE(spec.format), 16);
  EXPECT_TRUE(SDL_AUDIO_ISSIGNED(spec.format));
  EXPECT_FALSE(SDL_AUDIO_ISFLOAT(spec.format));
  EXPECT_EQ(SDL_AUDIO_ISBIGENDIAN(spec.format) != 0, SDL_BYTEORDER == SDL_BIG_ENDIAN);
  EXPECT_GT(spec.samples, 0);
  EXPECT_EQ(spec.callback, nullptr);  // queued: the run takes the sound with SDL_DequeueAudio
}

// A steady level, so that neither the pace nor the phase at which the codes are read matters:
// S16 full scale (32768) is PEAK codes either side of 512.
TEST(Microphone, ASteadyInputGivesItsShareOfPeakAroundMidScale) {
  const test::TempDir dir;
  struct Case {
    std::int16_t sample;
    const char* source;
    int code;
  };
  for (const Case c : {Case{16384, "mic", 512 + 50}, Case{-12000, "mic:200", 512 - 73},
                       Case{32767, "mic:512", 1023}}) {
    const std::string raw = (dir / "steady.raw").string();
    {
      // Little-endian, as SDL_BYTEORDER is on the hosts this runs on (checked above).
      std::vector<char> bytes;
      for (int i = 0; i < 48000 / 2; ++i) {
        bytes.push_back(static_cast<char>(c.sample & 0xFF));
        bytes.push_back(static_cast<char>((c.sample >> 8) & 0xFF));
      }
      std::ofstream(raw, std::ios::binary).write(bytes.data(), std::ssize(bytes));
    }
    ::setenv("SDL_AUDIODRIVER", "disk", 1);
    ::setenv("SDL_DISKAUDIOFILEIN", raw.c_str(), 1);
    ::setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
    auto mic = live::open_microphone(c.source);
    std::vector<int> codes(2000);  // 0.16 s of sound; the filter settles in a few ms
    for (int& code : codes) code = mic->next();
    for (std::size_t i = 1000; i < codes.size(); ++i) {
      ASSERT_EQ(codes[i], c.code) << c.sample << " with " << c.source << ", code " << i;
    }
  }
}

// A ramp that rises 250 codes a second at mic:512: the codes tell which moment of the file
// they come from. A run that stops reading for a while gets the sound it missed while that is
// under 250 ms; beyond, what is older goes, so that it catches up with the room.
TEST(Microphone, AShortPauseLosesNothingALongOneSkipsToTheRecentSound) {
  const test::TempDir dir;
  const std::string raw = (dir / "ramp.raw").string();
  {
    constexpr int kSamples = 4 * 48000;
    std::vector<char> bytes;
    for (int i = 0; i < kSamples; ++i) {
      const auto sample = static_cast<std::int16_t>(-32000 + 64000LL * i / kSamples);
      bytes.push_back(static_cast<char>(sample & 0xFF));
      bytes.push_back(static_cast<char>((sample >> 8) & 0xFF));
    }
    std::ofstream(raw, std::ios::binary).write(bytes.data(), std::ssize(bytes));
  }
  ::setenv("SDL_AUDIODRIVER", "disk", 1);
  ::setenv("SDL_DISKAUDIOFILEIN", raw.c_str(), 1);
  ::setenv("SDL_DISKAUDIOFILE", "/dev/null", 1);
  auto mic = live::open_microphone("mic:512");
  // The largest step between neighbouring codes among the next n: within what the device
  // sent at once it is a fraction of a code.
  int before = 0;
  const auto largest_step = [&](int n) {
    int step = 0;
    for (int i = 0; i < n; ++i) {
      const int code = mic->next();
      step = std::max(step, std::abs(code - before));
      before = code;
    }
    return step;
  };
  constexpr double kCodesPerSecond = 1000.0 / 4;
  largest_step(500);  // past the filter's start from silence
  EXPECT_LE(largest_step(1000), 1);
  SDL_Delay(100);
  EXPECT_LE(largest_step(1000), 1);  // 100 ms later, from the very next moment on
  SDL_Delay(1000);
  // A second later the older part of it goes: a jump of well over 250 ms, but less than the
  // whole second, as the most recent sound stays.
  const int jump = largest_step(1000);
  EXPECT_GT(jump, 0.3 * kCodesPerSecond);
  EXPECT_LT(jump, 1.0 * kCodesPerSecond);
}

}  // namespace
