#include "sim/audio_files.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "audio_parse.h"
#include "sim/resampler.h"

namespace sim {
namespace {

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

constexpr std::string_view kWavPrefix = "wav:";

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
  if (fd < 0) refuse_audio(source, "cannot read " + path + ": " + std::strerror(errno));
  struct stat st {};
  const bool ok = ::fstat(fd, &st) == 0;
  ::close(fd);
  if (ok && S_ISDIR(st.st_mode)) refuse_audio(source, path + " is a directory");
  if (ok && S_ISREG(st.st_mode) && st.st_size == 0) refuse_audio(source, path + " is empty");
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
    refuse_audio(source, path + " is no sound file libsndfile reads (" + why + ")");
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
    refuse_audio(source,
                 "more than " + std::to_string(kMaxWavSamples) + " samples, too long to convert");
  }
  if (first.empty()) refuse_audio(source, "no samples");
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
    refuse_audio(source, e.what());
  }
  if (static_cast<double>(wav.samples.size()) > kMaxWavSeconds * wav.rate_hz) {
    refuse_audio(source, "longer than 10 minutes, too long to convert");
  }
  std::vector<float> resampled;
  resampler->process(wav.samples, true, resampled);
  if (resampled.empty()) refuse_audio(source, "too short for one conversion");
  std::vector<std::uint16_t> codes(resampled.size());
  std::transform(resampled.begin(), resampled.end(), codes.begin(),
                 [peak](float x) { return level_code(x, peak); });
  return std::make_unique<Cycle>(std::move(codes));
}

std::unique_ptr<AudioSource> open_codes(const std::string& source, const std::string& path) {
  check_readable(source, path);
  std::ifstream in(path, std::ios::binary);
  if (!in) refuse_audio(source, "cannot read " + path + ": " + std::strerror(errno));
  std::vector<std::uint16_t> codes;
  std::string token;
  const auto refuse_token = [&] {
    refuse_audio(source, "entry " + std::to_string(codes.size() + 1) + ", " + quote(token) +
                             ", is not a code 0..1023 (codes are decimal, separated by white "
                             "space)");
  };
  const auto take = [&] {
    unsigned value = 0;
    const auto [end, err] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (err != std::errc{} || end != token.data() + token.size() || value > kMaxCode) {
      refuse_token();
    }
    if (codes.size() == kMaxCodes) {
      refuse_audio(source, "more than 10 minutes of conversions (" + std::to_string(kMaxCodes) +
                               " codes), too long");
    }
    codes.push_back(static_cast<std::uint16_t>(value));
    token.clear();
  };
  std::streambuf& file = *in.rdbuf();
  std::uint64_t bytes = 0;
  for (auto c = file.sbumpc(); c != std::char_traits<char>::eof(); c = file.sbumpc()) {
    if (++bytes > kMaxCodesBytes) {
      refuse_audio(source, "more than " + std::to_string(kMaxCodesBytes) + " bytes, too long");
    }
    if (std::isspace(c)) {
      if (!token.empty()) take();
    } else {
      token += static_cast<char>(c);
      if (token.size() > kMaxCodeChars) refuse_token();
    }
  }
  if (!token.empty()) take();
  if (codes.empty()) refuse_audio(source, "no codes in the file");
  return std::make_unique<Cycle>(std::move(codes));
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
  if (w.path.empty()) refuse_audio(source, "expected wav:PATH[:PEAK]");
  return w;
}

std::unique_ptr<AudioSource> open_wav(const std::string& source, std::string_view arg) {
  const WavArg w = split_wav(source, arg);
  return resampled_wav(source, w.path, w.peak ? parse_level(source, *w.peak) : kDefaultLevel);
}

}  // namespace

std::string wav_path(const std::string& source) {
  if (!source.starts_with(kWavPrefix)) refuse_audio(source, "not a wav: source");
  return split_wav(source, std::string_view(source).substr(kWavPrefix.size())).path;
}

std::unique_ptr<AudioSource> open_audio(const std::string& source) {
  const std::size_t colon = source.find(':');
  const std::string kind = source.substr(0, colon);
  const std::string arg = colon != std::string::npos ? source.substr(colon + 1) : std::string();
  if (kind == "wav") return open_wav(source, arg);
  if (kind == "codes") {
    if (arg.empty()) refuse_audio(source, "expected codes:PATH");
    return open_codes(source, arg);
  }
  return make_audio(source);
}

}  // namespace sim
