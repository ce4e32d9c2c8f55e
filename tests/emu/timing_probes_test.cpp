// The emulator's clocks against the timing probes (timing/*.S): small loops whose cost per pass
// is worked out by hand from the ARM7TDMI-S timing table and the LPC213x manual's memory
// accelerator chapter, and stated in each probe's header (timing/common.inc gives the form).
// Each probe runs twice after the same set-up, for a few passes and for many; the difference of
// the clocks over the difference of the passes is what one pass costs, the start-up, the call
// and the first passes (which fill the accelerator's buffers) cancelling.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "emu/elf_image.h"
#include "emu/emulator.h"
#include "sim/audio.h"
#include "sim/format.h"

namespace emu {
namespace {

const std::string kSources = LPCDEMO_SOURCE_DIR "/tests/emu/timing";
const std::string kImages = LPCDEMO_BINARY_DIR "/emu/timing";

// The APB bridge's wait per access that the headers' expectations are worked out at (their W;
// the SPI probes' clocks, written out, too): the emulator runs them with it, whatever wait it
// takes by default.
constexpr unsigned kApbWait = 3;
constexpr std::int32_t kFewPasses = 8, kManyPasses = 24;
constexpr std::uint32_t kPinsel1 = 0xE002C004;

struct TimingProbe {
  std::string file, name;
  std::int32_t mamcr = -1, mamtim = 0, vpbdiv = 1;
  std::string expect;  // as written
  double clocks = 0;   // per pass
  std::optional<std::uint32_t> result;
};

// "4 + 2W + 1.5": numbers and multiples of the APB wait.
double clocks_of(const std::string& expect) {
  double sum = 0;
  std::istringstream terms(expect + "+");  // each term ends in a +, the last one too
  std::string term;
  while (std::getline(terms, term, '+')) {
    static const std::regex kTerm(R"(\s*(\d+(?:\.\d+)?)?\s*(\*?\s*W)?\s*)");
    std::smatch m;
    if (!std::regex_match(term, m, kTerm) || (!m[1].matched && !m[2].matched)) {
      throw std::invalid_argument("bad term \"" + term + "\" in expect: " + expect);
    }
    const double n = m[1].matched ? std::stod(m[1]) : 1;
    sum += m[2].matched ? n * static_cast<double>(kApbWait) : n;
  }
  return sum;
}

std::vector<TimingProbe> read_probes() {
  std::vector<std::filesystem::path> files;
  for (const auto& e : std::filesystem::directory_iterator(kSources)) {
    if (e.path().extension() == ".S") files.push_back(e.path());
  }
  std::sort(files.begin(), files.end());
  static const std::regex kField(R"(@ (probe|mam|vpbdiv|expect|result): *(.*\S) *)");
  static const std::regex kMam(R"((off|partial|full) +([1-7]))");
  std::vector<TimingProbe> probes;
  for (const auto& path : files) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
      std::smatch m;
      if (!std::regex_match(line, m, kField)) continue;
      const std::string key = m[1], value = m[2];
      if (key == "probe") {
        TimingProbe p;
        p.file = path.filename().string();
        p.name = value;
        probes.push_back(p);
        continue;
      }
      if (probes.empty() || probes.back().file != path.filename().string()) {
        throw std::invalid_argument(path.string() + ": \"" + line + "\" before any probe");
      }
      TimingProbe& p = probes.back();
      if (key == "mam") {
        std::smatch mm;
        if (!std::regex_match(value, mm, kMam)) throw std::invalid_argument("bad mam: " + line);
        p.mamcr = mm[1] == "off" ? 0 : mm[1] == "partial" ? 1 : 2;
        p.mamtim = std::stoi(mm[2]);
      } else if (key == "vpbdiv") {
        p.vpbdiv = std::stoi(value);
      } else if (key == "expect") {
        p.expect = value;
        p.clocks = clocks_of(value);
      } else {
        p.result = static_cast<std::uint32_t>(std::stoul(value, nullptr, 16));
      }
    }
  }
  return probes;
}

std::string findings_of(const sim::Board& board) {
  std::string all;
  for (const sim::Finding& f : board.findings()) all += f.message + "\n";
  return all;
}

std::string number(double v) {
  char text[32];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

TEST(TimingExpectations, ReadAsNumbersAndApbWaits) {
  EXPECT_EQ(clocks_of("7"), 7);
  EXPECT_EQ(clocks_of("6 + W"), 6 + kApbWait);
  EXPECT_EQ(clocks_of("1 + 2W + 0.5"), 1.5 + 2 * kApbWait);
  EXPECT_EQ(clocks_of("3*W"), 3 * kApbWait);
  EXPECT_THROW(clocks_of("7 clocks"), std::invalid_argument);
  EXPECT_THROW(clocks_of("4 +"), std::invalid_argument);
}

// Every probe at its expectation; the whole table (probe, expected, measured) is printed, so
// that `test_emu --gtest_filter=TimingProbes.*` shows where the model stands.
TEST(TimingProbes, EachPassCostsWhatItsHeaderDerives) {
  const std::vector<TimingProbe> probes = read_probes();
  ASSERT_GE(probes.size(), 40u);
  std::set<std::string> names;
  std::ostringstream table;
  table << "probe                    | expected | measured | file\n";
  for (const TimingProbe& p : probes) {
    SCOPED_TRACE(p.name + " (" + p.file + ")");
    EXPECT_TRUE(names.insert(p.name).second) << "two probes named " << p.name;
    ASSERT_GE(p.mamcr, 0) << "no mam line";
    ASSERT_FALSE(p.expect.empty()) << "no expect line";
    const std::string image =
        kImages + "/" + std::filesystem::path(p.file).replace_extension(".elf").string();
    sim::Board board(sim::make_audio("silence"));
    Options options;
    options.timing.apb_wait = kApbWait;
    Emulator emu(image, board, options);
    // The headers count lines of 16 bytes from the routine's start.
    const std::optional<std::uint32_t> at = ElfImage::load(image).find(p.name);
    ASSERT_TRUE(at.has_value()) << image << " has no routine " << p.name;
    EXPECT_EQ(*at % 16, 0u) << p.name << " starts at " << sim::hex_word(*at)
                            << ", not where a line starts";
    auto clocks_for = [&](std::int32_t passes) {
      emu.call("setup", {p.mamcr, p.mamtim, p.vpbdiv});
      const std::uint64_t before = emu.counters().cycles;
      emu.call(p.name, {passes});
      return emu.counters().cycles - before;
    };
    const std::uint64_t few = clocks_for(kFewPasses);
    const std::uint64_t many = clocks_for(kManyPasses);
    const double measured =
        static_cast<double>(many - few) / static_cast<double>(kManyPasses - kFewPasses);
    EXPECT_EQ(measured, p.clocks) << p.name << ": expected " << p.expect << " = "
                                  << number(p.clocks) << " clocks a pass, measured "
                                  << number(measured);
    if (p.result) {
      EXPECT_EQ(board.read(kPinsel1, 32), *p.result)
          << p.name << " left " << sim::hex_word(board.read(kPinsel1, 32)) << " in PINSEL1";
    }
    EXPECT_EQ(findings_of(board), "");
    char row[160];
    std::snprintf(row, sizeof row, "%-24s | %8s | %8s | %s%s\n", p.name.c_str(),
                  number(p.clocks).c_str(), number(measured).c_str(), p.file.c_str(),
                  measured == p.clocks ? "" : "  <-- differs");
    table << row;
  }
  std::cout << table.str();
}

}  // namespace
}  // namespace emu
