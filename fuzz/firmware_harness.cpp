#include "firmware_harness.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "board/io.h"
#include "display/lcd.h"
#include "effects/effects.h"
#include "hw/reg.h"

namespace fuzz {
namespace {

constexpr std::uint16_t kCodeMask = 0x3FF;
constexpr std::uint16_t kMidCode = 512;
constexpr std::uint64_t kCalibrationPass = 1024;  // conversions a calibration takes at least
constexpr int kTextRows = 10;

// The sizes of the constant tables as the program starts, so that a variable overwritten by a
// stray store cannot change what is compared.
struct Extent {
  std::size_t picture = std::size_t{width} * height;
  std::size_t text = std::size_t{txtwidth} * kTextRows;
};
const Extent& extent() {
  static const Extent e;
  return e;
}

template <typename T>
void append(std::vector<std::uint8_t>& out, const T* p, std::size_t count) {
  const auto* b = reinterpret_cast<const std::uint8_t*>(p);
  out.insert(out.end(), b, b + count * sizeof(T));
}

}  // namespace

std::span<const std::uint8_t> Input::bytes(std::size_t n) {
  const std::size_t take = std::min(n, bytes_.size() - at_);
  const auto part = bytes_.subspan(at_, take);
  at_ += take;
  return part;
}

std::vector<std::uint16_t> codes(Input& in) {
  const auto raw = in.rest();
  std::vector<std::uint16_t> out;
  for (std::size_t i = 0; i + 1 < raw.size(); i += 2) {
    out.push_back(static_cast<std::uint16_t>((raw[i] | raw[i + 1] << 8) & kCodeMask));
  }
  return out;
}

std::uint16_t InputCodes::next() {
  return next_ < codes_.size() ? codes_[next_++] : kMidCode;
}

void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz: %s\n", what.c_str());
  std::abort();
}

FirmwareRun::FirmwareRun(std::vector<std::uint16_t> codes, std::uint16_t zero, std::uint8_t palette)
    : board_(std::make_unique<InputCodes>(std::move(codes))) {
  board_.keep_history(false);
  hw::set_bus(&board_);
  extent();
  checked([&] {
    processor_init();
    io_init();
    lcd_init();
    initpal(palette);
  });
  avg = static_cast<std::uint16_t>(zero & kCodeMask);
}

FirmwareRun::~FirmwareRun() {
  hw::set_bus(nullptr);
}

void FirmwareRun::frame(void (*render)(int), int n) {
  const std::size_t frames = board_.lcd().frame_count();
  checked([&] { render(n); });
  if (board_.lcd().frame_count() != frames + 1) {
    fail("frame " + std::to_string(n) + " did not reach the LCD whole");
  }
}

// avg first, then every other variable and table of the firmware outside dispram and pal.
std::vector<std::uint8_t> FirmwareRun::snapshot() const {
  std::vector<std::uint8_t> s;
  append(s, &avg, 1);
  append(s, &txtwidth, 1);
  append(s, &height, 1);
  append(s, &width, 1);
  append(s, header_data, extent().picture);
  append(s, txtdata, extent().text);
  append(s, header_data_cmap, sizeof header_data_cmap);
  return s;
}

void FirmwareRun::check(const std::vector<std::uint8_t>& before, std::uint64_t conversions_before) {
  if (!board_.findings().empty()) {
    std::string all = "the board found:";
    for (const sim::Finding& f : board_.findings()) all += "\n  " + f.message;
    fail(all);
  }
  const std::vector<std::uint8_t> after = snapshot();
  constexpr std::size_t kAvgBytes = sizeof avg;
  if (!std::equal(before.begin() + kAvgBytes, before.end(), after.begin() + kAvgBytes)) {
    fail("a firmware variable or table outside dispram and pal changed");
  }
  const bool calibrated = board_.conversions() - conversions_before >= kCalibrationPass;
  if (!std::equal(before.begin(), before.begin() + kAvgBytes, after.begin()) &&
      (!calibrated || avg > kCodeMask)) {
    fail("avg changed to " + std::to_string(avg) + " outside a calibration");
  }
}

void fill_frame(std::span<const std::uint8_t> bytes) {
  for (std::size_t i = 0; i < kFramePixels; ++i) {
    dispram[i] = bytes.empty() ? 0 : bytes[i % bytes.size()];
  }
}

}  // namespace fuzz
