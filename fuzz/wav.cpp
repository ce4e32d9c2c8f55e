// The WAV source on any file. The first byte picks the peak level written after the path
// (none for 0). A file that decodes to more than a few seconds is left out: converting minutes
// of it takes seconds an input (3 s under the sanitizers), which a loaded machine stretches past
// the fuzzer's timeout. The loader's own bounds on length are unit tests' (tests/sim).
#include <sndfile.h>

#include <algorithm>
#include <vector>

#include "audio_source.h"
#include "temp_file.h"

namespace {

// Whether the file decodes to at most a few seconds and 2^18 frames; one libsndfile cannot
// open is left to the loader, which refuses it.
bool short_enough(const std::string& path) {
  constexpr double kMostSeconds = 4;
  constexpr sf_count_t kMostFrames = sf_count_t{1} << 18;
  constexpr sf_count_t kBlockSamples = 4096;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) return true;
  const sf_count_t block_frames = std::max<sf_count_t>(1, kBlockSamples / info.channels);
  std::vector<float> block(static_cast<std::size_t>(block_frames * info.channels));
  const double most =
      std::min(kMostSeconds * std::max(info.samplerate, 1), static_cast<double>(kMostFrames));
  sf_count_t frames = 0, got = 0;
  while (frames <= most && (got = sf_readf_float(file, block.data(), block_frames)) > 0) {
    frames += got;
  }
  sf_close(file);
  return frames <= most;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr int kSamples = 4096;  // more than the shortest file resamples to
  if (size == 0) return 0;
  const std::string& path = fuzz::write_temp_file(data + 1, size - 1);
  if (!short_enough(path)) return 0;
  const std::string peak = data[0] == 0 ? "" : ":" + std::to_string(data[0] * 2);
  fuzz::check_audio_source("wav:" + path + peak, kSamples);
  return 0;
}
