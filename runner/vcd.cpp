#include "runner/vcd.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "hw/lpc2138.h"

namespace runner {
namespace {

namespace chip = lpc2138;

struct SignalInfo {
  char id;
  const char* name;
  bool reset_level;
};

// In the order of VcdTrace::Signal. The trace starts at reset: every pin an input, pulled up,
// and the converter idle.
constexpr SignalInfo kSignalInfo[] =
    {
        {'s', "SCK0", true},      {'m', "MOSI0", true}, {'c', "LCD_CS", true},
        {'r', "LCD_RESET", true}, {'p', "P0_9", true},  {'a', "AD_BUSY", false},
        {'t', "TXD0", true},  // idle high; driven from its first character, pulled up before
};

constexpr double kNever = std::numeric_limits<double>::infinity();

std::runtime_error write_error(const std::string& path) {
  return std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
}

// What a frame adds to a trace: some 10,000 words of 9 bits, each bit two SCK edges and a MOSI0
// change with their times, and the converter's pulses. The effects' first frames measure 2.5 to
// 2.6 MB, and a frame grows as the times in the file gain digits (3.0 MB a frame by the
// thousands): the higher figure, so that the estimate errs on the large side.
constexpr double kBytesPerFrame = 3.0e6;
constexpr double kLargeBytes = 1e9;

std::string megabytes(double bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  return text;
}

}  // namespace

std::string vcd_size_note(std::optional<int> frames) {
  const std::string rate = "about " + megabytes(kBytesPerFrame) + " a frame, an estimate";
  if (!frames) return "--vcd: the trace grows by " + rate + ", for as long as the run goes on";
  const double bytes = *frames * kBytesPerFrame;
  if (bytes <= kLargeBytes) return "";
  char size[32];
  std::snprintf(size, sizeof size, "%.1f GB", bytes / 1e9);
  return "--vcd: " + std::to_string(*frames) + " frames will write about " + size + " of trace (" +
         rate + ")";
}

VcdTrace::VcdTrace(const std::string& path)
    : path_(path), staged_(path), file_(std::fopen(staged_.temp_path().c_str(), "wb")) {
  if (!file_) throw write_error(path);
  std::FILE* f = file_.get();
  std::fputs("$version lpcdemo $end\n$timescale 1 ns $end\n$scope module lpc2138 $end\n", f);
  for (const SignalInfo& s : kSignalInfo) {
    std::fprintf(f, "$var wire 1 %c %s $end\n", s.id, s.name);
  }
  std::fputs("$upscope $end\n$enddefinitions $end\n#0\n$dumpvars\n", f);
  for (int s = 0; s < kSignals; ++s) {
    level_[s] = kSignalInfo[s].reset_level;
    std::fprintf(f, "%d%c\n", level_[s] ? 1 : 0, kSignalInfo[s].id);
  }
  std::fputs("$end\n", f);
}

void VcdTrace::lines(double ns, std::uint32_t levels) {
  catch_up(ns);
  set(ns, kCs, levels & chip::P0_LCD_CS);
  set(ns, kReset, levels & chip::P0_LCD_RESET);
  set(ns, kAux, levels & chip::P0_AUX);
}

void VcdTrace::transfer(double ns, std::uint16_t word, unsigned bits, double bit_ns) {
  // The board starts a word only once the last has ended, so all of its edges are out by now.
  catch_up(ns);
  shift_ = {ns, word, bits, bit_ns, 0};
  end_ns_ = std::max(end_ns_, ns + bits * bit_ns);
}

void VcdTrace::conversion(double ns, double length_ns) {
  catch_up(ns);
  set(ns, kAdBusy, true);
  adc_done_ns_ = ns + length_ns;
  end_ns_ = std::max(end_ns_, *adc_done_ns_);
}

void VcdTrace::character(double ns, std::uint16_t levels, unsigned bits, double bit_ns) {
  // The board starts a character only once the last one's stop bits have ended.
  catch_up(ns);
  serial_ = {ns, levels, bits, bit_ns, 0};
  // The stop bits show whole: at least one bit at the idle level.
  end_ns_ = std::max(end_ns_, ns + (bits + 1) * bit_ns);
}

void VcdTrace::finish() {
  catch_up(end_ns_);
  put_time(end_ns_);  // so that the last bit or pulse shows whole
  std::FILE* f = file_.release();
  const bool failed = std::ferror(f) != 0;
  if (std::fclose(f) != 0 || failed) throw write_error(path_);
  staged_.commit();
}

void VcdTrace::catch_up(double ns) {
  while (shift_.pending() || serial_.pending() || adc_done_ns_) {
    const double edge = shift_.pending() ? shift_.edge_ns() : kNever;
    const double bit = serial_.pending() ? serial_.edge_ns() : kNever;
    const double done = adc_done_ns_.value_or(kNever);
    if (std::min({edge, bit, done}) > ns) return;
    if (edge <= bit && edge <= done) {
      next_edge();
    } else if (bit <= done) {
      const unsigned k = serial_.next_edge++;
      set(bit, kTxd, k == serial_.bits || ((serial_.levels >> k) & 1));
    } else {
      set(done, kAdBusy, false);
      adc_done_ns_.reset();
    }
  }
}

void VcdTrace::next_edge() {
  const double ns = shift_.edge_ns();
  const unsigned k = shift_.next_edge++;
  if (k % 2 == 1) {
    set(ns, kSck, true);
    return;
  }
  set(ns, kSck, false);
  set(ns, kMosi, (shift_.word >> (shift_.bits - 1 - k / 2)) & 1);
}

void VcdTrace::set(double ns, Signal s, bool level) {
  if (level_[s] == level) return;
  level_[s] = level;
  put_time(ns);
  const char change[] = {level ? '1' : '0', kSignalInfo[s].id, '\n'};
  std::fwrite(change, 1, sizeof change, file_.get());
}

void VcdTrace::put_time(double ns) {
  // Events arrive in the board's time order, so rounding keeps the times non-decreasing.
  const auto t = static_cast<std::uint64_t>(std::llround(ns));
  if (t <= written_ns_) return;
  written_ns_ = t;
  char line[24] = {'#'};
  char* end = std::to_chars(line + 1, line + sizeof line - 1, t).ptr;
  *end++ = '\n';
  std::fwrite(line, 1, static_cast<std::size_t>(end - line), file_.get());
}

}  // namespace runner
