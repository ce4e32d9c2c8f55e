#include "sim/resampler.h"

#include <samplerate.h>

#include <stdexcept>
#include <string>

#include "sim/audio.h"

namespace sim {
namespace {

// Medium quality. Every sinc converter keeps what would fold back from above 6.39 kHz more than
// 95 dB down, below one step of a 10-bit code, so the choice is band against time: medium is
// flat to about 5.5 kHz of the 6.39 kHz the codes carry (fastest: 4.4 kHz, best: 6.1 kHz) at a
// quarter of best's cost, about 1% of a core for a 48 kHz microphone and half a second per
// minute of WAV before the first frame.
constexpr int kQuality = SRC_SINC_MEDIUM_QUALITY;
constexpr long kBlockFrames = 4096;  // output room per call into the library

}  // namespace

void Resampler::Delete::operator()(SRC_STATE_tag* state) const {
  src_delete(state);
}

Resampler::Resampler(double input_hz) : ratio_(kConversionHz / input_hz) {
  if (!(input_hz > 0) || !src_is_valid_ratio(ratio_)) {
    throw std::invalid_argument("cannot resample from " + std::to_string(input_hz) + " Hz");
  }
  int error = 0;
  state_.reset(src_new(kQuality, 1, &error));
  if (!state_) throw std::runtime_error(std::string("libsamplerate: ") + src_strerror(error));
}

void Resampler::process(std::span<const float> input, bool last, std::vector<float>& out) {
  static constexpr float kNoInput = 0;
  SRC_DATA data{};
  // libsamplerate does nothing on a null input pointer, not even release what it holds.
  data.data_in = input.empty() ? &kNoInput : input.data();
  data.input_frames = static_cast<long>(input.size());
  data.src_ratio = ratio_;
  data.end_of_input = last ? 1 : 0;
  // The library stops when the output block is full, and after the last input it releases
  // what its filter holds over further calls, until one gives nothing.
  for (;;) {
    const std::size_t done = out.size();
    out.resize(done + kBlockFrames);
    data.data_out = out.data() + done;
    data.output_frames = kBlockFrames;
    const int error = src_process(state_.get(), &data);
    out.resize(done + static_cast<std::size_t>(data.output_frames_gen));
    if (error != 0) throw std::runtime_error(std::string("libsamplerate: ") + src_strerror(error));
    data.data_in += data.input_frames_used;
    data.input_frames -= data.input_frames_used;
    if (data.input_frames == 0 && (!last || data.output_frames_gen == 0)) return;
  }
}

}  // namespace sim
