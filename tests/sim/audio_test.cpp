// Audio sources: the shapes they promise, repeatability, files and refusals.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <complex>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim/audio.h"
#include "sim/audio_files.h"
#include "sim/refusal.h"
#include "sim/resampler.h"
#include "support/temp_dir.h"

namespace {

using sim::kConversionHz;
using sim::make_audio;
using sim::open_audio;

constexpr auto kOneSecond = static_cast<std::size_t>(kConversionHz);

std::vector<int> take(sim::AudioSource& s, std::size_t n) {
  std::vector<int> v(n);
  for (auto& x : v) x = s.next();
  return v;
}

// Upward crossings of the mid code: one per period of a tone.
int rising_crossings(const std::vector<int>& v) {
  int n = 0;
  for (std::size_t i = 1; i < v.size(); ++i) n += v[i - 1] < 512 && v[i] >= 512;
  return n;
}

std::filesystem::path temp_file(const std::string& name) {
  return std::filesystem::path(::testing::TempDir()) / name;
}

TEST(AudioSources, SilenceIsMidScale) {
  auto s = make_audio("silence");
  for (int x : take(*s, 100)) ASSERT_EQ(x, 512);
}

TEST(AudioSources, ToneHasItsFrequencyAndAmplitude) {
  auto s = make_audio("tone:1000:200");
  const auto one_second = take(*s, static_cast<std::size_t>(kConversionHz));
  EXPECT_NEAR(rising_crossings(one_second), 1000, 1);
  EXPECT_EQ(*std::max_element(one_second.begin(), one_second.end()), 712);
  EXPECT_EQ(*std::min_element(one_second.begin(), one_second.end()), 312);
  EXPECT_EQ(one_second[0], 512);  // sine phase starts at zero

  auto d = make_audio("tone:50");  // default amplitude 100
  const auto v = take(*d, static_cast<std::size_t>(kConversionHz));
  EXPECT_EQ(*std::max_element(v.begin(), v.end()), 612);
  EXPECT_EQ(*std::min_element(v.begin(), v.end()), 412);
  EXPECT_NEAR(rising_crossings(v), 50, 1);
}

TEST(AudioSources, NoiseIsRepeatableAndBounded) {
  auto a = make_audio("noise:100");
  auto b = make_audio("noise:100");
  const auto va = take(*a, 10000);
  EXPECT_EQ(va, take(*b, 10000));
  EXPECT_GE(*std::min_element(va.begin(), va.end()), 412);
  EXPECT_LE(*std::max_element(va.begin(), va.end()), 612);
  std::vector<int> sorted = va;
  std::sort(sorted.begin(), sorted.end());
  const auto distinct = std::unique(sorted.begin(), sorted.end()) - sorted.begin();
  EXPECT_GT(distinct, 150);  // spread over the 201 codes, not stuck
  double mean = 0;
  for (int x : va) mean += x;
  EXPECT_NEAR(mean / va.size(), 512, 3);
}

// noise:AMP spreads evenly over 512-AMP .. 512+AMP, reaching both ends (within the converter's
// 0..1023 for 512) and nothing past them.
TEST(AudioSources, NoiseSpansItsAmplitudeExactly) {
  struct Case {
    int amp, lowest, highest;
  };
  for (const Case c : {Case{0, 512, 512}, Case{1, 511, 513}, Case{7, 505, 519}, Case{100, 412, 612},
                       Case{512, 0, 1023}}) {
    const auto v = take(*make_audio("noise:" + std::to_string(c.amp)), 20000);
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    EXPECT_EQ(*lo, c.lowest) << "noise:" << c.amp;
    EXPECT_EQ(*hi, c.highest) << "noise:" << c.amp;
  }
}

TEST(AudioSources, CodesFileCycles) {
  const auto path = temp_file("codes.txt");
  std::ofstream(path) << "1 2\n 3\t1023\n0\n";
  auto s = open_audio("codes:" + path.string());
  EXPECT_EQ(take(*s, 12), (std::vector<int>{1, 2, 3, 1023, 0, 1, 2, 3, 1023, 0, 1, 2}));
}

// Ten minutes of conversions, as for a WAV: 600 s at 12784.09 Hz, 7670454 codes, are taken; one
// more is refused, as is a word too long to be a code (a stream of NULs, say).
TEST(AudioSources, CodesFileStaysWithinTenMinutes) {
  const test::TempDir dir;
  const std::size_t most = 7'670'454;
  std::string codes(2 * most, '\n');
  for (std::size_t i = 0; i < most; ++i) codes[2 * i] = static_cast<char>('0' + i % 10);
  std::ofstream(dir / "most.txt", std::ios::binary) << codes;
  auto s = open_audio("codes:" + (dir / "most.txt").string());
  const auto first = take(*s, 12);
  EXPECT_EQ(take(*s, most - 12)[most - 13], 3);  // 7670453 % 10
  EXPECT_EQ(take(*s, 12), first);
  std::ofstream(dir / "most.txt", std::ios::app) << "7";
  std::ofstream(dir / "zeros.txt") << std::string(33, '0');
  for (const char* name : {"most.txt", "zeros.txt"}) {
    EXPECT_THROW(open_audio("codes:" + (dir / name).string()), sim::Refusal) << name;
  }
}

void write_wav(const std::filesystem::path& path, int rate, int channels,
               const std::vector<float>& interleaved) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(f, nullptr) << sf_strerror(nullptr);
  sf_writef_float(f, interleaved.data(), static_cast<sf_count_t>(interleaved.size() / channels));
  sf_close(f);
}

TEST(AudioSources, WavIsResampledFromTheFirstChannel) {
  // A ramp at 8 kHz: away from the file's ends, where a band-limited converter rings, it comes
  // through within a code or so at any output instant.
  const int rate = 8000;
  const int frames = 100;  // 10 codes per source step, so interpolation shows
  std::vector<float> data;
  for (int k = 0; k < frames; ++k) {
    data.push_back(-1.0f + 2.0f * k / frames);
    data.push_back(0.9f);  // second channel, to be ignored
  }
  const auto path = temp_file("ramp.wav");
  write_wav(path, rate, 2, data);
  auto s = open_audio("wav:" + path.string() + ":512");
  const auto v = take(*s, 250);
  const auto ramp = [&](int n) {
    const double t = n / kConversionHz;
    return 512 + 512 * (-1.0 + 2.0 * std::fmod(t * rate, frames) / frames);
  };
  for (int n : {30, 50, 80, 101, 130}) EXPECT_NEAR(v[n], ramp(n), 1.5) << "sample " << n;
  // The loop holds a whole number of conversions, so the second pass may start one early.
  const double per_conversion = 1024.0 / frames * rate / kConversionHz;
  for (int n : {200, 210, 220}) EXPECT_NEAR(v[n], ramp(n), per_conversion) << "sample " << n;
}

// A header's sample count is only a claim, and a compressed file of a few kilobytes can hold
// hours: a 42-byte FLAC that promises 2^36 samples, and eleven minutes at 100 Hz, are refused
// in one line instead of allocated or converted.
TEST(AudioSources, WavLengthComesFromTheDataAndStaysWithinTenMinutes) {
  const test::TempDir dir;
  // One STREAMINFO block: 44.1 kHz, 2 channels, 16 bits, 2^36 - 1 samples; no audio frames.
  const std::uint64_t stream = 44100ull << 44 | 1ull << 41 | 15ull << 36 | ((1ull << 36) - 1);
  std::string flac("fLaC\x80\x00\x00\x22\x10\x00\x10\x00", 12);
  flac += std::string(6, '\0');  // frame sizes unknown
  for (int shift = 56; shift >= 0; shift -= 8) flac += static_cast<char>(stream >> shift);
  flac += std::string(16, '\0');  // MD5
  std::ofstream(dir / "claims.flac", std::ios::binary) << flac;
  write_wav(dir / "long.wav", 100, 1, std::vector<float>(100 * 660));
  for (const char* name : {"claims.flac", "long.wav"}) {
    EXPECT_THROW(open_audio("wav:" + (dir / name).string()), sim::Refusal) << name;
  }
}

// One second of a sine at 44.1 kHz.
std::vector<float> sine_44k1(double hz, double scale) {
  std::vector<float> sine(44100);
  for (std::size_t k = 0; k < sine.size(); ++k) {
    sine[k] = static_cast<float>(scale * std::sin(2 * std::numbers::pi * hz * k / 44100));
  }
  return sine;
}

TEST(AudioSources, WavKeepsPitchAndFullScale) {
  const auto path = temp_file("sine.wav");
  write_wav(path, 44100, 1, sine_44k1(500, 1.0));
  auto s = open_audio("wav:" + path.string() + ":512");
  const auto v = take(*s, static_cast<std::size_t>(kConversionHz));
  EXPECT_NEAR(rising_crossings(v), 500, 1);
  EXPECT_GE(*std::max_element(v.begin(), v.end()), 1020);
  EXPECT_LE(*std::min_element(v.begin(), v.end()), 3);
}

// Amplitude in codes of the component at hz.
double amplitude_at(const std::vector<int>& codes, double hz) {
  std::complex<double> sum;
  for (std::size_t n = 0; n < codes.size(); ++n) {
    sum += (codes[n] - 512.0) * std::polar(1.0, 2 * std::numbers::pi * hz * n / kConversionHz);
  }
  return 2 * std::abs(sum) / static_cast<double>(codes.size());
}

TEST(AudioSources, WavAboveTheConverterNyquistDoesNotFoldBack) {
  const test::TempDir dir;
  const auto codes = [&](double hz) {
    write_wav(dir / "tone.wav", 44100, 1, sine_44k1(hz, 0.5));
    return take(*open_audio("wav:" + (dir / "tone.wav").string()), kOneSecond);
  };
  const double shown = amplitude_at(codes(2000), 2000);
  EXPECT_GT(shown, 20);
  // 9 kHz sampled at 12.78 kHz would read as 12784 - 9000 = 3784 Hz; less than a code of it.
  EXPECT_LT(amplitude_at(codes(9000), kConversionHz - 9000), 0.01 * shown);
}

// One second of sound at any rate is one second of conversions, 36 MHz / 256 / 11 = 12,784
// codes, however many of the library's output blocks that takes: the WAV loops after them.
TEST(AudioSources, ASecondOfWavAtAnyRateLoopsAfterASecondOfConversions) {
  const test::TempDir dir;
  constexpr std::size_t kExpected = 12784;
  for (const int rate : {8000, 11025, 44100, 48000}) {
    // Noise, so that no stretch of codes repeats before the loop does.
    std::vector<float> noise(static_cast<std::size_t>(rate));
    std::uint32_t x = 2138;
    for (float& s : noise) {
      x = x * 1664525u + 1013904223u;
      s = static_cast<float>(x >> 8) / (1u << 24) - 0.5f;
    }
    std::vector<float> direct;
    sim::Resampler(rate).process(noise, true, direct);
    EXPECT_NEAR(static_cast<double>(direct.size()), kExpected, 2) << rate << " Hz";

    const auto path = dir / ("noise" + std::to_string(rate) + ".wav");
    write_wav(path, rate, 1, noise);
    const auto v = take(*open_audio("wav:" + path.string() + ":400"), 3 * kExpected);
    constexpr std::size_t kWindow = 64;
    std::size_t period = 0;
    for (std::size_t p = 1; p + kWindow <= v.size() && period == 0; ++p) {
      if (std::equal(v.begin(), v.begin() + kWindow, v.begin() + p)) period = p;
    }
    EXPECT_NEAR(static_cast<double>(period), kExpected, 2) << rate << " Hz";
  }
}

TEST(Resampler, StreamedBlocksGiveWhatOneBlockGives) {
  const std::vector<float> input = sine_44k1(1000, 1.0);  // any signal, read as 48 kHz
  std::vector<float> whole, streamed;
  sim::Resampler(48000).process(input, true, whole);
  sim::Resampler live(48000);
  for (std::size_t at = 0; at < input.size(); at += 441) {  // a microphone's 9 ms blocks
    live.process(std::span(input).subspan(at, 441), false, streamed);
  }
  live.process({}, true, streamed);  // the end of input releases what the filter holds
  ASSERT_EQ(streamed.size(), whole.size());
  for (std::size_t n = 0; n < whole.size(); ++n) ASSERT_NEAR(streamed[n], whole[n], 1e-4) << n;
}

TEST(AudioSources, LevelsDefaultWithinTheSignedByteAndWavPeakIsANumericLastField) {
  const test::TempDir dir;
  std::filesystem::create_directory(dir / "mix:2");
  const auto path = dir / "mix:2" / "take:1.wav";
  std::vector<float> square(44100);  // full scale at 441 Hz, as a clipped master: rings above
  for (std::size_t k = 0; k < square.size(); ++k) square[k] = k / 50 % 2 ? -1.0f : 1.0f;
  write_wav(path, 44100, 1, square);
  for (const std::string& source :
       {std::string("tone:440"), std::string("noise"), "wav:" + path.string()}) {
    const auto v = take(*open_audio(source), kOneSecond);
    const auto [lo, hi] = std::minmax_element(v.begin(), v.end());
    EXPECT_GE(*lo, 512 - 120) << source;
    EXPECT_LE(*hi, 512 + 120) << source;
    EXPECT_GE(*hi - *lo, 180) << source;  // still loud enough to show
  }
  const auto v = take(*open_audio("wav:" + path.string() + ":40"), kOneSecond);
  EXPECT_LT(*std::max_element(v.begin(), v.end()), 512 + 50);
}

TEST(AudioSources, DefaultChordBeatsWithinSignedByteRange) {
  auto s = make_audio("");
  const auto v = take(*s, static_cast<std::size_t>(kConversionHz));
  // The effects keep a sample's low 8 bits: around 512 it must stay within -128..127.
  EXPECT_GE(*std::min_element(v.begin(), v.end()), 512 - 128);
  EXPECT_LE(*std::max_element(v.begin(), v.end()), 512 + 127);
  // Peak swing over 20 ms windows: the beat makes it swell and shrink.
  const std::size_t window = static_cast<std::size_t>(kConversionHz / 50);
  int lowest = 1024, highest = 0;
  for (std::size_t i = 0; i + window <= v.size(); i += window) {
    const auto [lo, hi] = std::minmax_element(v.begin() + i, v.begin() + i + window);
    lowest = std::min(lowest, *hi - *lo);
    highest = std::max(highest, *hi - *lo);
  }
  EXPECT_GT(highest - lowest, 40);
  EXPECT_GT(lowest, 100);  // never fades into the trigger's band
}

// A file source without its file is refused for its form, before any file is looked for; the
// built-in sources pass through open_audio unchanged.
TEST(AudioSources, AFileSourceWithoutAPathIsRefusedForItsForm) {
  for (const auto& [source, why] :
       {std::pair<std::string, std::string>{"wav", "expected wav:PATH[:PEAK]"},
        {"wav:", "expected wav:PATH[:PEAK]"},
        {"wav::40", "expected wav:PATH[:PEAK]"},
        {"codes", "expected codes:PATH"},
        {"codes:", "expected codes:PATH"}}) {
    try {
      open_audio(source);
      ADD_FAILURE() << "accepted " << source;
    } catch (const sim::Refusal& e) {
      EXPECT_EQ(std::string(e.what()), "audio source '" + source + "': " + why);
    }
  }
  // 512 + 200 sin(2 pi 1000 n / 12784.09): n = 1 is 0.0782 of a turn, n = 2 is 0.1565.
  EXPECT_EQ(take(*open_audio("tone:1000:200"), 3), (std::vector<int>{512, 606, 678}));
}

TEST(AudioSources, MalformedSourcesAreRefusedInOneLine) {
  const auto empty = temp_file("empty.txt");
  std::ofstream(empty) << "  \n";
  const auto bad = temp_file("bad.txt");
  std::ofstream(bad) << "5 1024\n";
  const auto commas = temp_file("commas.txt");
  {
    std::ofstream out(commas);
    for (int i = 0; i < 2000; ++i) out << i << ",";
  }
  const auto dir = temp_file("");
  for (const std::string& source : std::vector<std::string>{"tone",
                                                            "tone:",
                                                            "tone:abc",
                                                            "tone:0",
                                                            "tone:440:600",
                                                            "tone:440:x",
                                                            "noise:-1",
                                                            "silence:3",
                                                            "square:440",
                                                            "wav:",
                                                            "wav:/nonexistent/a.wav",
                                                            "codes:/nonexistent",
                                                            "wav::100",
                                                            "wav:/nonexistent/a.wav:600",
                                                            "codes:" + empty.string(),
                                                            "codes:" + bad.string(),
                                                            "codes:" + commas.string(),
                                                            "codes:/bin/sh",
                                                            "wav:/bin/sh",
                                                            "wav:" + empty.string(),
                                                            "wav:" + dir.string(),
                                                            "codes:" + dir.string()}) {
    try {
      open_audio(source);
      ADD_FAILURE() << "accepted " << source;
    } catch (const sim::Refusal& e) {
      const std::string message = e.what();
      EXPECT_NE(message.find(source), std::string::npos) << message;
      // A binary or comma-separated file is quoted short and printable.
      EXPECT_LT(message.size(), source.size() + 150) << message;
      EXPECT_TRUE(std::none_of(message.begin(), message.end(), [](char c) {
        return std::iscntrl(static_cast<unsigned char>(c));
      })) << message;
    }
  }
}

}  // namespace
