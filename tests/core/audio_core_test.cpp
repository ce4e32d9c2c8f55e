// The board model's audio core, as the WebAssembly page builds it: numbers read with or without
// std::from_chars, the microphone's level, the queue a page feeds, and the file sources kept out.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio_parse.h"
#include "sim/audio.h"
#include "sim/refusal.h"

namespace {

std::string refusal_of(const std::string& source) {
  try {
    sim::make_audio(source);
  } catch (const sim::Refusal& e) {
    return e.what();
  }
  return "accepted";
}

// Both readings, from_chars (this host's library has it) and the strtod fallback (the
// WebAssembly build's), against values worked out by hand: the decimal form from_chars reads,
// nothing else, and only what lies within the finite doubles.
TEST(AudioNumbers, FromCharsAndTheStrtodFallbackReadTheSameDecimals) {
  const auto both = [](const std::string& text) {
    return std::pair{sim::to_number(text), sim::detail::to_number_by_strtod(text)};
  };
  // clang-format off
  const std::pair<std::string, double> taken[] = {
      {"1000", 1000}, {"0", 0}, {"-0", -0.0}, {"12.5", 12.5}, {".5", 0.5}, {"-.5", -0.5},
      {"1.", 1}, {"00012", 12}, {"1e3", 1000}, {"1E3", 1000}, {"1e+3", 1000}, {"1e-3", 0.001},
      {"6392.0000000000001", 6392},  // 1e-13 is under half a step of doubles near 6392
      {"2.2250738585072014e-308", std::numeric_limits<double>::min()},
      {"1.7976931348623157e308", std::numeric_limits<double>::max()},
      {"4e-320", 4e-320},  // subnormal: glibc's strtod flags it out of range, yet gives it
      {"0e-400", 0},       // exactly zero, nothing lost
      {"3.14159265358979323846264338327950288419716939937510582097494459230781640628",
       std::numbers::pi},
      {"1" + std::string(300, '0'), 1e300}, {"0." + std::string(100, '0') + "5", 5e-101}};
  // clang-format on
  for (const auto& [text, want] : taken) {
    const auto [by_from_chars, by_strtod] = both(text);
    ASSERT_TRUE(by_from_chars && by_strtod) << "'" << text << "' refused";
    for (const double got : {*by_from_chars, *by_strtod}) {
      EXPECT_EQ(got, want) << text;
      EXPECT_EQ(std::signbit(got), std::signbit(want)) << text;
    }
  }
  // Not from_chars's form, or past the largest double, or below the smallest subnormal.
  // clang-format off
  const std::vector<std::string> refused = {
      "", "-", ".", "e5", "1e", "1e+", " 1", "1 ", "+1", "--1", "-+1", "1.5.2", "1,5", "0x10",
      "0X1p3", "inf", "-inf", "infinity", "nan", "-nan", "1e400", "-1e400", "1e-400", "-1e-400",
      "1e-5000", "1" + std::string(400, '0')};
  // clang-format on
  for (const std::string& text : refused) {
    const auto [by_from_chars, by_strtod] = both(text);
    EXPECT_FALSE(by_from_chars) << "from_chars took '" << text << "' as " << *by_from_chars;
    EXPECT_FALSE(by_strtod) << "strtod took '" << text << "' as " << *by_strtod;
  }
}

// mic and mic:PEAK name the microphone, full scale at PEAK codes; anything else is not one.
TEST(AudioMicrophone, ItsLevelIsReadLikeEveryOtherSourcesLevel) {
  struct Case {
    const char* source;
    std::optional<double> peak;
  };
  for (const Case& c :
       {Case{"mic", 100}, Case{"mic:200", 200}, Case{"mic:0", 0}, Case{"mic:512", 512},
        Case{"mic:2.5", 2.5}, Case{"", std::nullopt}, Case{"micro", std::nullopt},
        Case{"MIC", std::nullopt}, Case{"xmic:1", std::nullopt}, Case{"tone:440", std::nullopt}}) {
    EXPECT_EQ(sim::parse_microphone(c.source), c.peak) << c.source;
  }
  for (const std::string source : {"mic:", "mic:513", "mic:-1", "mic:x", "mic: 5", "mic:5:5"}) {
    try {
      sim::parse_microphone(source);
      ADD_FAILURE() << "accepted " << source;
    } catch (const sim::Refusal& e) {
      EXPECT_EQ(std::string(e.what()).rfind("audio source '" + source + "': level", 0), 0)
          << e.what();
    }
  }
}

// The page's queue: samples in the order pushed, at PEAK codes for full scale around 512,
// clipped at the converter's range; empty, the zero level at once.
TEST(AudioQueue, GivesEachSampleOnceInOrderThenTheZeroLevel) {
  sim::QueueSource queue(*sim::parse_microphone("mic:200"));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(queue.next(), 512);
  const float samples[] = {0.5f, -0.365f, 1.0f, -1.0f};
  queue.push(samples, 4);
  queue.push(samples, 1);
  EXPECT_EQ(queue.size(), 5u);
  for (int want : {612, 439, 712, 312, 612, 512, 512}) EXPECT_EQ(queue.next(), want);
  EXPECT_EQ(queue.size(), 0u);

  sim::QueueSource loud(512);
  const float beyond[] = {1.0f, -1.0f, 2.0f};
  loud.push(beyond, 3);
  for (int want : {1023, 0, 1023}) EXPECT_EQ(loud.next(), want);
  sim::QueueSource plain;  // mic's default level
  plain.push(samples, 1);
  EXPECT_EQ(plain.next(), 562);
}

// A quarter of a second at 36 MHz / 256 / 11 = 12784.09 conversions a second: 3196 samples.
// What is pushed beyond goes from the oldest end, whether it comes in one push or in many.
TEST(AudioQueue, KeepsTheNewestQuarterSecond) {
  constexpr std::size_t kQuarter = 3196;
  {
    sim::QueueSource queue;
    const std::vector<float> marks(11, 0.5f);  // 562 each
    const std::vector<float> zeros(kQuarter - 1, 0.0f);
    queue.push(marks.data(), marks.size());
    queue.push(zeros.data(), zeros.size());
    EXPECT_EQ(queue.size(), kQuarter);
    EXPECT_EQ(queue.next(), 562);  // the last mark: the first ten went
    EXPECT_EQ(queue.next(), 512);
  }
  {
    sim::QueueSource queue;
    std::vector<float> block(4000, 0.0f);
    block[4000 - kQuarter - 1] = 1.0f;  // the newest sample dropped
    block[4000 - kQuarter] = -0.5f;     // the oldest kept
    block.back() = 0.25f;
    queue.push(block.data(), block.size());
    EXPECT_EQ(queue.size(), kQuarter);
    EXPECT_EQ(queue.next(), 462);
    for (std::size_t i = 1; i < kQuarter - 1; ++i) ASSERT_EQ(queue.next(), 512) << i;
    EXPECT_EQ(queue.next(), 537);
    EXPECT_EQ(queue.next(), 512);
  }
}

// The core builds without libsndfile and libsamplerate: the sources that read files say so in
// one line, which names the source, instead of failing later.
TEST(AudioCore, RefusesTheSourcesThatReadFiles) {
  for (const std::string source : {"wav:a.wav", "wav:a.wav:50", "codes:a.txt", "wav", "codes"}) {
    const std::string kind = source.substr(0, source.find(':'));
    EXPECT_EQ(refusal_of(source), "audio source '" + source + "': " + kind +
                                      ": reads a file, and this program was built without "
                                      "the file sources");
  }
  EXPECT_EQ(refusal_of("mic"),
            "audio source 'mic': unknown kind (silence, tone:HZ[:AMP], noise[:AMP], "
            "wav:PATH[:PEAK], codes:PATH)");
  EXPECT_EQ(refusal_of("tone: 440"), "audio source 'tone: 440': frequency ' 440' is not a number");
  EXPECT_EQ(refusal_of("tone:1e400"),
            "audio source 'tone:1e400': frequency '1e400' is not a number");
}

}  // namespace
