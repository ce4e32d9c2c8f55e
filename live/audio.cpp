#include "live/audio.h"

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <vector>

#include "sim/refusal.h"
#include "sim/resampler.h"

namespace live {
namespace {

constexpr int kCaptureHz = 48'000;
constexpr Uint16 kCaptureSamples = 512;  // about 11 ms a buffer
constexpr float kS16FullScale = 32768.0f;
// More than this much sound waiting means the run reads slower than the room talks: what is
// older goes, so that the picture answers the room now rather than later.
constexpr std::uint32_t kMaxWaitingBytes = kCaptureHz * sizeof(std::int16_t) / 4;  // 250 ms
// A device that delivers nothing for this long is taken as gone; the input falls silent.
constexpr Uint32 kSilentDeviceMs = 2000;
constexpr Uint32 kPollMs = 1;

// Audio back ends (ALSA above all) print pages of their own errors while SDL looks for a
// device; the one line that matters is SDL's, reported by the caller.
class QuietStderr {
 public:
  QuietStderr() : saved_(::dup(STDERR_FILENO)) {
    const int null = ::open("/dev/null", O_WRONLY);
    if (null >= 0) {
      ::dup2(null, STDERR_FILENO);
      ::close(null);
    }
  }
  ~QuietStderr() {
    if (saved_ < 0) return;
    ::dup2(saved_, STDERR_FILENO);
    ::close(saved_);
  }
  QuietStderr(const QuietStderr&) = delete;
  QuietStderr& operator=(const QuietStderr&) = delete;

 private:
  int saved_;
};

SDL_AudioDeviceID open_device(const SDL_AudioSpec& want, bool capture) {
  QuietStderr quiet;
  if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) return 0;
  // Asked for exactly this; SDL converts from whatever the device does.
  const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, capture, &want, nullptr, 0);
  if (device == 0) SDL_QuitSubSystem(SDL_INIT_AUDIO);
  return device;
}

[[noreturn]] void no_device(const std::string& source, const std::string& what) {
  throw sim::Refusal("audio source '" + source + "': " + what + ": " + SDL_GetError());
}

class Microphone final : public sim::AudioSource {
 public:
  Microphone(const std::string& source, double peak) : peak_(peak) {
    device_ = open_device(capture_spec(), true);
    if (device_ == 0) no_device(source, "no capture device");
    SDL_PauseAudioDevice(device_, 0);
  }
  ~Microphone() override {
    SDL_CloseAudioDevice(device_);
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
  }
  Microphone(const Microphone&) = delete;
  Microphone& operator=(const Microphone&) = delete;

  std::uint16_t next() override {
    while (pos_ == ready_.size() && !gone_) fill();
    if (gone_) return sim::level_code(0, peak_);
    return sim::level_code(ready_[pos_++], peak_);
  }

 private:
  // Waits for the device's next sound and resamples it.
  void fill() {
    ready_.clear();
    pos_ = 0;
    drop_backlog();
    const Uint32 since = SDL_GetTicks();
    std::vector<std::int16_t> pcm(kCaptureSamples);
    while (ready_.empty()) {
      const Uint32 got = SDL_DequeueAudio(device_, pcm.data(), pcm.size() * sizeof pcm[0]);
      if (got == 0) {
        if (SDL_GetTicks() - since > kSilentDeviceMs) {
          std::cerr << "lpcdemo: the capture device sent nothing for 2 s: input silent from here\n";
          gone_ = true;
          return;
        }
        SDL_Delay(kPollMs);
        continue;
      }
      std::vector<float> in(got / sizeof pcm[0]);
      for (std::size_t i = 0; i < in.size(); ++i) in[i] = pcm[i] / kS16FullScale;
      resampler_.process(in, false, ready_);
    }
  }

  void drop_backlog() {
    const Uint32 waiting = SDL_GetQueuedAudioSize(device_);
    if (waiting <= kMaxWaitingBytes) return;
    std::vector<std::uint8_t> old(waiting - kMaxWaitingBytes / 2);
    SDL_DequeueAudio(device_, old.data(), static_cast<Uint32>(old.size()));
  }

  double peak_;
  SDL_AudioDeviceID device_ = 0;
  sim::Resampler resampler_{kCaptureHz};
  std::vector<float> ready_;
  std::size_t pos_ = 0;
  bool gone_ = false;
};

}  // namespace

SDL_AudioSpec capture_spec() {
  SDL_AudioSpec want{};
  want.freq = kCaptureHz;
  want.format = AUDIO_S16SYS;
  want.channels = 1;
  want.samples = kCaptureSamples;
  return want;
}

std::unique_ptr<sim::AudioSource> open_microphone(const std::string& source) {
  const std::optional<double> peak = sim::parse_microphone(source);
  if (!peak) throw sim::Refusal("audio source '" + source + "': not a microphone (mic[:PEAK])");
  return std::make_unique<Microphone>(source, *peak);
}

Player::Player(const std::string& path) {
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr)
    throw std::runtime_error("cannot play " + path + ": " + sf_strerror(nullptr));
  std::vector<float> samples(static_cast<std::size_t>(info.frames) * info.channels);
  sf_readf_float(file, samples.data(), info.frames);
  sf_close(file);

  SDL_AudioSpec want{};
  want.freq = info.samplerate;
  want.format = AUDIO_F32SYS;
  want.channels = static_cast<Uint8>(info.channels);
  want.samples = 1024;
  device_ = open_device(want, false);
  if (device_ == 0) {
    throw std::runtime_error("cannot play " + path + ": " + SDL_GetError());
  }
  SDL_QueueAudio(device_, samples.data(), static_cast<Uint32>(samples.size() * sizeof(float)));
}

Player::~Player() {
  SDL_CloseAudioDevice(device_);
  SDL_QuitSubSystem(SDL_INIT_AUDIO);
}

void Player::play(bool on) {
  SDL_PauseAudioDevice(device_, on ? 0 : 1);
}

}  // namespace live
