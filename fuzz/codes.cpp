// The codes-file source on any file.
#include "audio_source.h"
#include "temp_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr int kSamples = 256;
  fuzz::check_audio_source("codes:" + fuzz::write_temp_file(data, size), kSamples);
  return 0;
}
