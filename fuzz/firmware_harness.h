// What the firmware targets share: the input read as fields, a board whose converter hands out
// codes from the input, the firmware brought up on it, and the checks after each frame.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "sim/board.h"

namespace fuzz {

// Little-endian fields from the front of the input; zeros once it runs out.
class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size) : bytes_(data, size) {}
  template <typename T>
  T take() {
    T v = 0;
    for (std::size_t i = 0; i < sizeof(T) && at_ < bytes_.size(); ++i) {
      v = static_cast<T>(v | static_cast<T>(T{bytes_[at_++]} << (8 * i)));
    }
    return v;
  }
  std::span<const std::uint8_t> bytes(std::size_t n);
  std::span<const std::uint8_t> rest() { return bytes(bytes_.size()); }

 private:
  std::span<const std::uint8_t> bytes_;
  std::size_t at_ = 0;
};

// The rest of the input as 10-bit converter codes, two bytes each.
std::vector<std::uint16_t> codes(Input& in);

// Hands out the input's codes, then mid-scale for ever. A calibration on a drifting input never
// settles, which the firmware intends; the input's end is where the drift stops.
class InputCodes final : public sim::AudioSource {
 public:
  explicit InputCodes(std::vector<std::uint16_t> codes) : codes_(std::move(codes)) {}
  std::uint16_t next() override;

 private:
  std::vector<std::uint16_t> codes_;
  std::size_t next_ = 0;
};

// Prints what went wrong and aborts: libFuzzer keeps the input as a crash.
[[noreturn]] void fail(const std::string& what);

// A new board with the firmware brought up on it (clock, pins, LCD), the zero level `zero` as
// a calibration on a steady input leaves it, and palette mode `palette`.
class FirmwareRun {
 public:
  FirmwareRun(std::vector<std::uint16_t> codes, std::uint16_t zero, std::uint8_t palette);
  ~FirmwareRun();
  FirmwareRun(const FirmwareRun&) = delete;
  FirmwareRun& operator=(const FirmwareRun&) = delete;

  sim::Board& board() { return board_; }
  // Renders frame n and fails unless the board found nothing, the LCD got one whole frame, and
  // nothing but dispram, pal, the stack and (in a calibration) avg changed.
  void frame(void (*render)(int), int n);
  // Runs `call` and fails on a board finding or a write outside dispram, pal and the stack.
  template <typename Call>
  void checked(Call call) {
    const auto before = snapshot();
    const std::uint64_t conversions = board_.conversions();
    call();
    check(before, conversions);
  }

 private:
  std::vector<std::uint8_t> snapshot() const;
  void check(const std::vector<std::uint8_t>& before, std::uint64_t conversions_before);

  sim::Board board_;
};

// Fills dispram with `bytes` repeated (zeros when there are none): the audio effects move the
// previous frame, so any contents must do.
void fill_frame(std::span<const std::uint8_t> bytes);

}  // namespace fuzz
