// The microphone: the format it asks of the capture device, and the levels it makes of what
// SDL's disk driver (standing in for a device) reads from a file.
#include "live/audio.h"

#include <gtest/gtest.h>

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

}  // namespace
