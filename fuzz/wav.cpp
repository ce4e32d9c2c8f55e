// The WAV source on any file. The first byte picks the peak level written after the path
// (none for 0).
#include "audio_source.h"
#include "temp_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr int kSamples = 4096;  // more than the shortest file resamples to
  if (size == 0) return 0;
  const std::string peak = data[0] == 0 ? "" : ":" + std::to_string(data[0] * 2);
  fuzz::check_audio_source("wav:" + fuzz::write_temp_file(data + 1, size - 1) + peak, kSamples);
  return 0;
}
