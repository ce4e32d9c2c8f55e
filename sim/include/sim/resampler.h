// Streaming sample-rate conversion to the converter's rate, for audio that arrives at another
// rate (a WAV file, a microphone).
#pragma once

#include <memory>
#include <span>
#include <vector>

struct SRC_STATE_tag;  // libsamplerate's converter, kept out of the callers' includes

namespace sim {

// Mono float samples at input_hz in, samples at kConversionHz out. The filter holds back a few
// milliseconds of output until later input (or the last block) completes it.
class Resampler {
 public:
  // Throws std::invalid_argument for a rate libsamplerate cannot convert from (below about
  // 50 Hz or above about 3.2 MHz).
  explicit Resampler(double input_hz);

  // Appends to out every sample that input completes. With last set, the input ends here and
  // out also gets what the filter still holds; no call may follow.
  void process(std::span<const float> input, bool last, std::vector<float>& out);

 private:
  struct Delete {
    void operator()(SRC_STATE_tag* state) const;
  };
  std::unique_ptr<SRC_STATE_tag, Delete> state_;
  double ratio_;
};

}  // namespace sim
