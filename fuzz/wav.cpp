// The WAV source on any file: it loads (and then hands out codes 0..1023) or refuses with
// std::invalid_argument, the one-line message the front end prints. The first byte picks the
// peak level written after the path (none for 0).
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "sim/audio.h"
#include "temp_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr int kSamples = 4096;  // more than the shortest file resamples to
  constexpr std::uint16_t kMaxCode = 1023;
  if (size == 0) return 0;
  const std::string peak = data[0] == 0 ? "" : ":" + std::to_string(data[0] * 2);
  const std::string& path = fuzz::write_temp_file(data + 1, size - 1);
  std::unique_ptr<sim::AudioSource> wav;
  try {
    wav = sim::make_audio("wav:" + path + peak);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  for (int i = 0; i < kSamples; ++i) {
    if (wav->next() > kMaxCode) {
      std::fprintf(stderr, "fuzz: a code beyond 1023\n");
      std::abort();
    }
  }
  return 0;
}
