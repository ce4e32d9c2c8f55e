// Audio sources for the converter: one 10-bit code per conversion. The built-in sources and the
// queue a host feeds live here and need no library; the sources that read files are in
// sim/audio_files.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

// Nominal conversion rate: 36 MHz peripheral clock / 256 / 11 clocks per conversion.
inline constexpr double kConversionHz = 36'000'000.0 / 256 / 11;

class AudioSource {
 public:
  virtual ~AudioSource() = default;
  virtual std::uint16_t next() = 0;  // 0..1023
};

// Peak level in codes around the mid code 512 of a source that does not name one: the effects
// keep a sample's low 8 bits, so beyond about +-120 codes (the signed byte, less the zero
// level's calibration error) a sample wraps. At 100 even a hard-clipped WAV, which rings about
// 18% past full scale once resampled, stays inside.
inline constexpr double kDefaultLevel = 100;

// A level written in a source (AMP, PEAK): a number of codes 0..512. Throws Refusal
// (sim/refusal.h) naming the source otherwise.
double parse_level(const std::string& source, std::string_view text);

// A sample of full scale +-1.0 as the converter's code around the mid code, `peak` codes for
// full scale, clipped at the converter's range.
std::uint16_t level_code(float sample, double peak);

// "" (the built-in chord) | silence | tone:HZ[:AMP] | noise[:AMP]. Throws Refusal with a
// one-line message on a malformed source, and on wav: and codes:, which read files: those are
// open_audio's (sim/audio_files.h), which hands every other source to this.
std::unique_ptr<AudioSource> make_audio(const std::string& source);

// mic | mic:PEAK: the PEAK (default kDefaultLevel) that a sample of full scale +-1.0 from a
// microphone maps to, or nothing when the source names no microphone. Throws Refusal for a
// PEAK that is not a level.
std::optional<double> parse_microphone(const std::string& source);

// Sound that arrives while the run goes (a browser's microphone): samples of full scale +-1.0
// at the conversion rate, pushed by the host, each read as one conversion at `peak` codes for
// full scale. It holds a quarter of a second at most, dropping the oldest, so that what the
// converter reads is the room now; with nothing queued it reads the zero level, never waiting.
class QueueSource final : public AudioSource {
 public:
  static constexpr auto kMaxQueued = static_cast<std::size_t>(kConversionHz / 4);

  explicit QueueSource(double peak = kDefaultLevel) : peak_(peak) {}

  void push(const float* samples, std::size_t count);
  std::size_t size() const { return queued_.size(); }
  std::uint16_t next() override;

 private:
  double peak_;
  std::deque<float> queued_;
};

}  // namespace sim
