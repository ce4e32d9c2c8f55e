// The LCD module's controller as the firmware drives it: a device on SPI0 taking 9-bit words,
// the start-up commands, and pixel data after the memory-write command 0x2C.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/spi_device.h"

namespace sim {

inline constexpr int kLcdWidth = 98;
inline constexpr int kLcdHeight = 67;
inline constexpr int kLcdPixels = kLcdWidth * kLcdHeight;
// Pixel data packs two 12-bit pixels into three bytes; a frame on the link is the
// memory-write command and then its pixel bytes, one word each.
inline constexpr int kLcdGroupPixels = 2;
inline constexpr int kLcdGroupBytes = 3;
inline constexpr int kLcdFrameWords = 1 + kLcdPixels / kLcdGroupPixels * kLcdGroupBytes;

// 12-bit colours 0xRGB in row order; all black while the panel is asleep or off.
using LcdFrame = std::array<std::uint16_t, kLcdPixels>;

// Told of the LCD's words, frames and findings as they happen.
class LcdObserver {
 public:
  virtual void word(std::uint16_t word) = 0;  // as LcdModel::words() logs it
  virtual void frame(const LcdFrame& frame) = 0;
  // A broken stream: a word the controller cannot take, or a frame cut short.
  virtual void finding(const std::string& message) = 0;

 protected:
  ~LcdObserver() = default;
};

class LcdModel : public SpiDevice {
 public:
  void add_observer(LcdObserver& observer) { observers_.push_back(&observer); }

  // Reset line (P0.8, active low) and chip select (P0.7, active low) as driven by the GPIO.
  void set_reset(bool low);
  void set_select(bool low);
  // The link takes 9-bit words, most significant (the flag) bit first, sampled on the rising
  // edge of a clock that idles high: SPI's mode 3.
  const char* name() const override { return "LCD"; }
  bool accepts(const SpiFormat& format, SpiComplaints& complaints) override;
  // One word as it leaves SPI0: bit 8 clear for a command, set for data.
  void receive(std::uint16_t wire) override;

  // Every word received while selected, as the firmware passed it to sendlcd (bit 8 set for a
  // command), and every complete frame, in order: kept while history is on (the default, for
  // tests and short runs). A long run turns it off and takes each as it arrives instead.
  const std::vector<std::uint16_t>& words() const;
  const std::vector<LcdFrame>& frames() const;
  void keep_history(bool keep) { keep_history_ = keep; }
  // Counted whether or not history is kept.
  std::size_t word_count() const { return word_count_; }
  std::size_t frame_count() const { return frame_count_; }
  std::uint16_t last_word() const { return last_word_; }
  const LcdFrame& last_frame() const { return last_frame_; }

  bool sleeping() const;
  bool display_on() const;
  bool in_reset() const { return reset_low_; }
  std::uint8_t contrast() const { return contrast_; }
  // What the panel shows now: the controller's memory once awake and on, black otherwise.
  LcdFrame panel() const;

 private:
  static constexpr int kNoCommand = -1;

  void power_on_state();
  void command(std::uint8_t code);
  void data(std::uint8_t byte);
  void pixel_byte(std::uint8_t byte);
  void put_pixel(std::uint16_t colour);
  void end_of_parameters();
  void report(const std::string& message);

  bool reset_low_ = false;
  bool select_low_ = false;
  bool sleeping_ = true;
  bool on_ = false;
  std::uint8_t contrast_ = 0;
  int command_ = kNoCommand;  // the command whose data bytes arrive now
  int params_expected_ = 0;
  int params_seen_ = 0;
  bool frame_open_ = false;  // a memory write awaits pixels
  int pixel_ = 0;            // next pixel of the memory-write frame
  int group_byte_ = 0;       // 0..2 within a two-pixel group
  std::uint32_t group_ = 0;  // bytes of the group so far, most significant first
  LcdFrame ram_{};
  bool keep_history_ = true;
  std::size_t word_count_ = 0, frame_count_ = 0;
  std::uint16_t last_word_ = 0;
  LcdFrame last_frame_{};
  std::vector<std::uint16_t> words_;
  std::vector<LcdFrame> frames_;
  std::vector<LcdObserver*> observers_;
};

}  // namespace sim
