// The codes-file source on any file: it loads (and then hands out codes 0..1023) or refuses
// with std::invalid_argument, the one-line message the front end prints.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>

#include "sim/audio.h"
#include "temp_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr int kSamples = 256;
  constexpr std::uint16_t kMaxCode = 1023;
  const std::string& path = fuzz::write_temp_file(data, size);
  std::unique_ptr<sim::AudioSource> codes;
  try {
    codes = sim::make_audio("codes:" + path);
  } catch (const std::invalid_argument&) {
    return 0;
  }
  for (int i = 0; i < kSamples; ++i) {
    if (codes->next() > kMaxCode) {
      std::fprintf(stderr, "fuzz: a code beyond 1023\n");
      std::abort();
    }
  }
  return 0;
}
