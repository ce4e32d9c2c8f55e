#include "sim/audio.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "audio_parse.h"
#include "sim/refusal.h"

namespace sim {
namespace {

constexpr std::uint16_t kMidCode = 512;
constexpr double kMaxAmplitude = 512;  // beyond it the converter clips on both sides
constexpr double kNyquistHz = kConversionHz / 2;
constexpr std::uint64_t kNoiseSeed = 0x2138;  // fixed: runs must be repeatable
constexpr std::string_view kMic = "mic";

std::uint16_t clamp_code(double code) {
  return static_cast<std::uint16_t>(std::clamp(std::lround(code), 0L, long{kMaxCode}));
}

double parse_number(const std::string& source, std::string_view text, const char* what) {
  const auto value = to_number(text);
  if (!value) {
    refuse_audio(source, std::string(what) + " '" + std::string(text) + "' is not a number");
  }
  return *value;
}

class Constant final : public AudioSource {
 public:
  std::uint16_t next() override { return kMidCode; }
};

// A sum of sines around the mid code, each phase taken from the sample count so that long
// runs do not drift.
class Tones final : public AudioSource {
 public:
  struct Partial {
    double hz;
    double amplitude;
  };
  explicit Tones(std::vector<Partial> partials) : partials_(std::move(partials)) {}

  std::uint16_t next() override {
    double sum = kMidCode;
    for (const Partial& p : partials_) {
      const double turns = std::fmod(static_cast<double>(n_) * p.hz / kConversionHz, 1.0);
      sum += p.amplitude * std::sin(2 * std::numbers::pi * turns);
    }
    ++n_;
    return clamp_code(sum);
  }

 private:
  std::vector<Partial> partials_;
  std::uint64_t n_ = 0;
};

// Uniform noise from splitmix64 with a fixed seed.
class Noise final : public AudioSource {
 public:
  explicit Noise(double amplitude) : span_(static_cast<std::uint64_t>(amplitude) * 2 + 1) {}

  std::uint16_t next() override {
    state_ += 0x9E3779B97F4A7C15ull;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    const auto offset = static_cast<double>(z % span_) - static_cast<double>(span_ / 2);
    return clamp_code(kMidCode + offset);
  }

 private:
  std::uint64_t span_;
  std::uint64_t state_ = kNoiseSeed;
};

// An A major chord spread over three octaves, its root beating at 2 Hz against a quieter
// neighbour: the waveform breathes, and the spectrum shows bars over the left half (128 bins
// of 25 Hz over 98 columns). The peaks add up to 125 codes: the effects keep the low 8 bits of
// a sample, so a louder input would wrap into noise, and the converter never clips.
std::unique_ptr<AudioSource> default_chord() {
  return std::make_unique<Tones>(std::vector<Tones::Partial>{
      {220.0, 45}, {222.0, 20}, {329.63, 25}, {554.37, 18}, {880.0, 10}, {1318.51, 7}});
}

}  // namespace

void refuse_audio(const std::string& source, const std::string& why) {
  throw Refusal("audio source '" + source + "': " + why);
}

namespace detail {

std::optional<double> to_number_by_strtod(std::string_view text) {
  // Only the characters of from_chars's decimal form, and no leading '+': strtod would also
  // take spaces, a sign of '+', hex, inf, nan and, in some locales, a decimal ','.
  constexpr std::string_view kDecimal = "0123456789.eE+-";
  if (text.empty() || text.front() == '+' ||
      text.find_first_not_of(kDecimal) != std::string_view::npos) {
    return std::nullopt;
  }
  const std::string terminated(text);
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(terminated.c_str(), &end);
  if (end != terminated.c_str() + terminated.size() || !std::isfinite(value)) return std::nullopt;
  // Out of range is refused as from_chars refuses it: past the largest double (HUGE_VAL, not
  // finite above) or below the smallest subnormal (0). glibc flags a subnormal result too, which
  // from_chars gives as a number.
  if (errno == ERANGE && value == 0) return std::nullopt;
  return value;
}

}  // namespace detail

std::optional<double> to_number(std::string_view text) {
#if defined(__cpp_lib_to_chars)
  double value = 0;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (err != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
#else
  return detail::to_number_by_strtod(text);
#endif
}

std::uint16_t level_code(float sample, double peak) {
  return clamp_code(kMidCode + peak * sample);
}

double parse_level(const std::string& source, std::string_view text) {
  const double level = parse_number(source, text, "level");
  if (level < 0 || level > kMaxAmplitude) refuse_audio(source, "level must lie in 0..512 codes");
  return level;
}

std::unique_ptr<AudioSource> make_audio(const std::string& source) {
  if (source.empty()) return default_chord();
  const std::size_t colon = source.find(':');
  const std::string kind = source.substr(0, colon);
  const bool has_arg = colon != std::string::npos;
  const std::string arg = has_arg ? source.substr(colon + 1) : std::string();

  if (kind == "silence") {
    if (has_arg) refuse_audio(source, "silence takes no argument");
    return std::make_unique<Constant>();
  }
  if (kind == "tone") {
    if (!has_arg) refuse_audio(source, "expected tone:HZ[:AMP]");
    const std::size_t second = arg.find(':');
    const double hz = parse_number(source, std::string_view(arg).substr(0, second), "frequency");
    if (hz <= 0 || hz > kNyquistHz) {
      refuse_audio(source, "frequency must lie above 0 and up to 6392 Hz");
    }
    const double amp = second == std::string::npos
                           ? kDefaultLevel
                           : parse_level(source, std::string_view(arg).substr(second + 1));
    return std::make_unique<Tones>(std::vector<Tones::Partial>{{hz, amp}});
  }
  if (kind == "noise") {
    return std::make_unique<Noise>(has_arg ? parse_level(source, arg) : kDefaultLevel);
  }
  if (kind == "wav" || kind == "codes") {
    refuse_audio(source, kind +
                             ": reads a file, and this program was built without the file "
                             "sources");
  }
  refuse_audio(source,
               "unknown kind (silence, tone:HZ[:AMP], noise[:AMP], wav:PATH[:PEAK], codes:PATH)");
}

std::optional<double> parse_microphone(const std::string& source) {
  if (source == kMic) return kDefaultLevel;
  if (!source.starts_with(std::string(kMic) + ":")) return std::nullopt;
  return parse_level(source, std::string_view(source).substr(kMic.size() + 1));
}

void QueueSource::push(const float* samples, std::size_t count) {
  queued_.insert(queued_.end(), samples, samples + count);
  if (queued_.size() > kMaxQueued) {
    queued_.erase(queued_.begin(), queued_.end() - static_cast<std::ptrdiff_t>(kMaxQueued));
  }
}

std::uint16_t QueueSource::next() {
  if (queued_.empty()) return kMidCode;
  const float sample = queued_.front();
  queued_.pop_front();
  return level_code(sample, peak_);
}

}  // namespace sim
