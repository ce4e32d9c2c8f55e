#include "sim/audio.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <numbers>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "sim/refusal.h"
#include "sim/resampler.h"

namespace sim {
namespace {

constexpr std::uint16_t kMidCode = 512;
constexpr std::uint16_t kMaxCode = 1023;
constexpr double kMaxAmplitude = 512;  // beyond it the converter clips on both sides
constexpr double kNyquistHz = kConversionHz / 2;
constexpr std::uint64_t kNoiseSeed = 0x2138;  // fixed: runs must be repeatable
// A WAV is converted whole before the first frame, and a compressed file of a few kilobytes can
// hold hours of silence: ten minutes of codes at most (some 31 MB), read from at most 2^25
// samples (ten minutes at 55.9 kHz).
constexpr double kMaxWavSeconds = 600;
constexpr std::size_t kMaxWavSamples = std::size_t{1} << 25;
// A codes file is bound by the same ten minutes of conversions, counted as it is read: a pipe or
// a device without end is refused once it passes them. A longer word is no code, however many
// zeros lead it, nor is a file of more bytes than a generous 16 per code.
constexpr auto kMaxCodes = static_cast<std::size_t>(kMaxWavSeconds * kConversionHz);
constexpr std::size_t kMaxCodeChars = 32;
constexpr std::uint64_t kMaxCodesBytes = std::uint64_t{kMaxCodes} * 16;

std::uint16_t clamp_code(double code) {
  return static_cast<std::uint16_t>(std::clamp(std::lround(code), 0L, long{kMaxCode}));
}

[[noreturn]] void bad(const std::string& source, const std::string& why) {
  throw Refusal("audio source '" + source + "': " + why);
}

// The whole of text as a finite number, or nothing.
std::optional<double> to_number(std::string_view text) {
  double value = 0;
  const auto [end, err] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (err != std::errc{} || end != text.data() + text.size() || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

double parse_number(const std::string& source, std::string_view text, const char* what) {
  const auto value = to_number(text);
  if (!value) bad(source, std::string(what) + " '" + std::string(text) + "' is not a number");
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

// A fixed sequence of codes, from the start again when exhausted.
class Cycle final : public AudioSource {
 public:
  explicit Cycle(std::vector<std::uint16_t> codes) : codes_(std::move(codes)) {}

  std::uint16_t next() override {
    const std::uint16_t code = codes_[i_];
    i_ = (i_ + 1) % codes_.size();
    return code;
  }

 private:
  std::vector<std::uint16_t> codes_;
  std::size_t i_ = 0;
};

struct Mono {
  std::vector<float> samples;
  int rate_hz;
};

// Refuses, with the system's reason, a path that cannot be read, a directory and an empty file:
// libsndfile would call them all an unrecognised format.
void check_readable(const std::string& source, const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) bad(source, "cannot read " + path + ": " + std::strerror(errno));
  struct stat st {};
  const bool ok = ::fstat(fd, &st) == 0;
  ::close(fd);
  if (ok && S_ISDIR(st.st_mode)) bad(source, path + " is a directory");
  if (ok && S_ISREG(st.st_mode) && st.st_size == 0) bad(source, path + " is empty");
}

// A token from a file as a short printable quote: control and non-ASCII bytes as \xNN, cut
// after a few characters, so that a binary or comma-separated file does not flood the terminal.
std::string quote(std::string_view token) {
  constexpr std::size_t kShown = 20;  // characters between the quotes
  std::string shown;
  std::size_t i = 0;
  for (; i < token.size() && shown.size() < kShown; ++i) {
    const auto c = static_cast<unsigned char>(token[i]);
    if (std::isprint(c)) {
      shown += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02x", c);
      shown += hex;
    }
  }
  return "'" + shown + (i < token.size() ? "...'" : "'");
}

// Read block by block until the file ends: the frame count in a header is only a claim (a
// 42-byte FLAC file may promise 2^36 samples), so nothing is allocated from it.
Mono read_first_channel(const std::string& source, const std::string& path) {
  constexpr std::size_t kBlockSamples = 1 << 16;
  check_readable(source, path);
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (file == nullptr) {
    std::string why = sf_strerror(nullptr);
    if (why.ends_with('.')) why.pop_back();
    bad(source, path + " is no sound file libsndfile reads (" + why + ")");
  }
  const auto channels = static_cast<std::size_t>(info.channels);
  const std::size_t block_frames = std::max<std::size_t>(1, kBlockSamples / channels);
  std::vector<float> block(block_frames * channels);
  std::vector<float> first;
  sf_count_t got = 0;
  while ((got = sf_readf_float(file, block.data(), static_cast<sf_count_t>(block_frames))) > 0) {
    for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
      first.push_back(block[i * channels]);
    }
    if (first.size() > kMaxWavSamples) break;
  }
  sf_close(file);
  if (first.size() > kMaxWavSamples) {
    bad(source, "more than " + std::to_string(kMaxWavSamples) + " samples, too long to convert");
  }
  if (first.empty()) bad(source, "no samples");
  return {std::move(first), info.samplerate};
}

// The whole file is converted up front and then played in a loop.
std::unique_ptr<AudioSource> resampled_wav(const std::string& source, const std::string& path,
                                           double peak) {
  const Mono wav = read_first_channel(source, path);
  std::optional<Resampler> resampler;
  try {
    resampler.emplace(wav.rate_hz);
  } catch (const std::invalid_argument& e) {
    bad(source, e.what());
  }
  if (static_cast<double>(wav.samples.size()) > kMaxWavSeconds * wav.rate_hz) {
    bad(source, "longer than 10 minutes, too long to convert");
  }
  std::vector<float> resampled;
  resampler->process(wav.samples, true, resampled);
  if (resampled.empty()) bad(source, "too short for one conversion");
  std::vector<std::uint16_t> codes(resampled.size());
  std::transform(resampled.begin(), resampled.end(), codes.begin(),
                 [peak](float x) { return level_code(x, peak); });
  return std::make_unique<Cycle>(std::move(codes));
}

std::unique_ptr<AudioSource> open_codes(const std::string& source, const std::string& path) {
  check_readable(source, path);
  std::ifstream in(path, std::ios::binary);
  if (!in) bad(source, "cannot read " + path + ": " + std::strerror(errno));
  std::vector<std::uint16_t> codes;
  std::string token;
  const auto refuse_token = [&] {
    bad(source, "entry " + std::to_string(codes.size() + 1) + ", " + quote(token) +
                    ", is not a code 0..1023 (codes are decimal, separated by white space)");
  };
  const auto take = [&] {
    unsigned value = 0;
    const auto [end, err] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (err != std::errc{} || end != token.data() + token.size() || value > kMaxCode) {
      refuse_token();
    }
    if (codes.size() == kMaxCodes) {
      bad(source, "more than 10 minutes of conversions (" + std::to_string(kMaxCodes) +
                      " codes), too long");
    }
    codes.push_back(static_cast<std::uint16_t>(value));
    token.clear();
  };
  std::streambuf& file = *in.rdbuf();
  std::uint64_t bytes = 0;
  for (auto c = file.sbumpc(); c != std::char_traits<char>::eof(); c = file.sbumpc()) {
    if (++bytes > kMaxCodesBytes) {
      bad(source, "more than " + std::to_string(kMaxCodesBytes) + " bytes, too long");
    }
    if (std::isspace(c)) {
      if (!token.empty()) take();
    } else {
      token += static_cast<char>(c);
      if (token.size() > kMaxCodeChars) refuse_token();
    }
  }
  if (!token.empty()) take();
  if (codes.empty()) bad(source, "no codes in the file");
  return std::make_unique<Cycle>(std::move(codes));
}

// An A major chord spread over three octaves, its root beating at 2 Hz against a quieter
// neighbour: the waveform breathes, and the spectrum shows bars over the left half (128 bins
// of 25 Hz over 98 columns). The peaks add up to 125 codes: the effects keep the low 8 bits of
// a sample, so a louder input would wrap into noise, and the converter never clips.
std::unique_ptr<AudioSource> default_chord() {
  return std::make_unique<Tones>(std::vector<Tones::Partial>{
      {220.0, 45}, {222.0, 20}, {329.63, 25}, {554.37, 18}, {880.0, 10}, {1318.51, 7}});
}

// wav:PATH[:PEAK], PEAK taken from the last field only when it is a number.
struct WavArg {
  std::string path;
  std::optional<std::string_view> peak;
};
WavArg split_wav(const std::string& source, std::string_view arg) {
  const std::size_t colon = arg.rfind(':');
  const bool has_peak = colon != std::string_view::npos && to_number(arg.substr(colon + 1));
  WavArg w{std::string(has_peak ? arg.substr(0, colon) : arg), std::nullopt};
  if (has_peak) w.peak = arg.substr(colon + 1);
  if (w.path.empty()) bad(source, "expected wav:PATH[:PEAK]");
  return w;
}

std::unique_ptr<AudioSource> open_wav(const std::string& source, std::string_view arg) {
  const WavArg w = split_wav(source, arg);
  return resampled_wav(source, w.path, w.peak ? parse_level(source, *w.peak) : kDefaultLevel);
}

constexpr std::string_view kWavPrefix = "wav:";

}  // namespace

std::uint16_t level_code(float sample, double peak) {
  return clamp_code(kMidCode + peak * sample);
}

std::string wav_path(const std::string& source) {
  if (!source.starts_with(kWavPrefix)) bad(source, "not a wav: source");
  return split_wav(source, std::string_view(source).substr(kWavPrefix.size())).path;
}

double parse_level(const std::string& source, std::string_view text) {
  const double level = parse_number(source, text, "level");
  if (level < 0 || level > kMaxAmplitude) bad(source, "level must lie in 0..512 codes");
  return level;
}

std::unique_ptr<AudioSource> make_audio(const std::string& source) {
  if (source.empty()) return default_chord();
  const std::size_t colon = source.find(':');
  const std::string kind = source.substr(0, colon);
  const bool has_arg = colon != std::string::npos;
  const std::string arg = has_arg ? source.substr(colon + 1) : std::string();

  if (kind == "silence") {
    if (has_arg) bad(source, "silence takes no argument");
    return std::make_unique<Constant>();
  }
  if (kind == "tone") {
    if (!has_arg) bad(source, "expected tone:HZ[:AMP]");
    const std::size_t second = arg.find(':');
    const double hz = parse_number(source, std::string_view(arg).substr(0, second), "frequency");
    if (hz <= 0 || hz > kNyquistHz) bad(source, "frequency must lie above 0 and up to 6392 Hz");
    const double amp = second == std::string::npos
                           ? kDefaultLevel
                           : parse_level(source, std::string_view(arg).substr(second + 1));
    return std::make_unique<Tones>(std::vector<Tones::Partial>{{hz, amp}});
  }
  if (kind == "noise") {
    return std::make_unique<Noise>(has_arg ? parse_level(source, arg) : kDefaultLevel);
  }
  if (kind == "wav") return open_wav(source, arg);
  if (kind == "codes") {
    if (arg.empty()) bad(source, "expected codes:PATH");
    return open_codes(source, arg);
  }
  bad(source, "unknown kind (silence, tone:HZ[:AMP], noise[:AMP], wav:PATH[:PEAK], codes:PATH)");
}

}  // namespace sim
