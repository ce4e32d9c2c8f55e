// What the microphone asks of the capture device: the format its samples are read in.
#include "live/audio.h"

#include <gtest/gtest.h>

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

}  // namespace
