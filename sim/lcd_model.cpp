#include "sim/lcd_model.h"

#include <utility>

#include "sim/format.h"

namespace sim {
namespace {

constexpr std::uint16_t kDataFlag = 0x100;  // on the wire; the firmware's word has it inverted
constexpr std::uint16_t kWireMask = 0x1FF;
constexpr std::uint8_t kByteMask = 0xFF;
constexpr unsigned kWordBits = 9;
constexpr unsigned kColourBits = 12;
constexpr std::uint32_t kColourMask = 0xFFF;

constexpr std::uint8_t kSoftwareReset = 0x01;
constexpr std::uint8_t kSleepIn = 0x10;
constexpr std::uint8_t kSleepOut = 0x11;
constexpr std::uint8_t kContrast = 0x25;
constexpr std::uint8_t kDisplayOff = 0x28;
constexpr std::uint8_t kDisplayOn = 0x29;
constexpr std::uint8_t kMemoryWrite = 0x2C;

constexpr int kPixelStream = -1;  // memory write: pixel data until the frame is full
constexpr int kAnyParams = -2;    // an unknown command: its data is not checked again
constexpr int kUnknown = -3;

struct CommandInfo {
  std::uint8_t code;
  int params;
};

// The commands the controller is sent at start-up and per frame, with their parameter counts.
constexpr CommandInfo kCommands[] = {
    {0x00, 0},  // no operation
    {kSoftwareReset, 0}, {0x03, 0},
    {kSleepIn, 0},       {kSleepOut, 0},
    {0x20, 0},           {0x21, 0},
    {kContrast, 1},      {kDisplayOff, 0},
    {kDisplayOn, 0},     {kMemoryWrite, kPixelStream},
    {0xB3, 15},          {0xB5, 1},
    {0xB6, 7},           {0xB7, 14},
    {0xB9, 1},           {0xBA, 2},
    {0xBD, 1},           {0xBE, 1},
    {0xC6, 0},
};

constexpr int params_of(std::uint8_t code) {
  for (const CommandInfo& c : kCommands) {
    if (c.code == code) return c.params;
  }
  return kUnknown;
}

static_assert(params_of(0xB3) == 15 && params_of(0xB7) == 14 && params_of(0xB6) == 7);
static_assert(kLcdPixels % kLcdGroupPixels == 0, "pixels arrive in pairs");

}  // namespace

void LcdModel::set_reset(bool low) {
  if (low && !reset_low_) power_on_state();
  reset_low_ = low;
}

void LcdModel::set_select(bool low) {
  select_low_ = low;
}

bool LcdModel::accepts(const SpiFormat& format, SpiComplaints& complaints) {
  bool ok = true;
  if (format.bits != kWordBits) {
    complaints.refuse("lcd-width",
                      std::to_string(format.bits) + "-bit transfers: the LCD takes 9-bit words");
    ok = false;
  }
  if (format.lsb_first) {
    complaints.refuse("lcd-lsbf", "least significant bit first: the LCD takes the flag bit first");
    ok = false;
  }
  if (!format.cpol || !format.cpha) {
    complaints.refuse("lcd-mode",
                      "CPOL and CPHA must both be 1: the LCD samples on the rising edge of a "
                      "clock that idles high");
    ok = false;
  }
  return ok;
}

void LcdModel::receive(std::uint16_t wire) {
  wire &= kWireMask;
  if (!select_low_) {
    report("word " + hex(wire, 3) + " sent while the chip select is high: the LCD ignores it");
    return;
  }
  last_word_ = wire ^ kDataFlag;
  ++word_count_;
  if (keep_history_) words_.push_back(last_word_);
  for (LcdObserver* o : observers_) o->word(last_word_);
  if (reset_low_) {
    report("word " + hex(wire, 3) + " sent while the LCD is held in reset: ignored");
    return;
  }
  const auto byte = static_cast<std::uint8_t>(wire & kByteMask);
  if (wire & kDataFlag) {
    data(byte);
  } else {
    command(byte);
  }
}

void LcdModel::power_on_state() {
  sleeping_ = true;
  on_ = false;
  contrast_ = 0;
  command_ = kNoCommand;
  params_expected_ = params_seen_ = 0;
  frame_open_ = false;
  pixel_ = group_byte_ = 0;
  group_ = 0;
}

void LcdModel::end_of_parameters() {
  if (command_ == kMemoryWrite && frame_open_) {
    report("frame cut short after " + std::to_string(pixel_) + " of " + std::to_string(kLcdPixels) +
           " pixels");
  } else if (params_expected_ >= 0 && params_seen_ < params_expected_) {
    report("command " + hex(static_cast<std::uint32_t>(command_)) + " got " +
           std::to_string(params_seen_) + " of its " + std::to_string(params_expected_) +
           " parameters");
  }
}

void LcdModel::command(std::uint8_t code) {
  end_of_parameters();
  command_ = code;
  params_seen_ = 0;
  params_expected_ = params_of(code);
  if (params_expected_ == kUnknown) {
    report("unknown command " + hex(code));
    params_expected_ = kAnyParams;
  }
  switch (code) {
    case kSoftwareReset:
      power_on_state();
      command_ = code;
      break;
    case kSleepIn:
      sleeping_ = true;
      break;
    case kSleepOut:
      sleeping_ = false;
      break;
    case kDisplayOff:
      on_ = false;
      break;
    case kDisplayOn:
      on_ = true;
      break;
    case kMemoryWrite:
      frame_open_ = true;  // each memory write starts at the top left pixel
      pixel_ = group_byte_ = 0;
      group_ = 0;
      break;
    default:
      break;
  }
}

void LcdModel::data(std::uint8_t byte) {
  if (command_ == kNoCommand) {
    report("data byte " + hex(byte) + " before any command");
  } else if (command_ == kMemoryWrite) {
    pixel_byte(byte);
  } else if (params_expected_ == kAnyParams) {
    // Already reported as an unknown command.
  } else if (params_seen_ < params_expected_) {
    if (command_ == kContrast) contrast_ = byte;
    ++params_seen_;
  } else {
    report("data byte " + hex(byte) + " beyond the " + std::to_string(params_expected_) +
           " parameters of command " + hex(static_cast<std::uint32_t>(command_)));
  }
}

void LcdModel::pixel_byte(std::uint8_t byte) {
  if (!frame_open_) {
    report("pixel data beyond the " + std::to_string(kLcdPixels) +
           "th pixel: the memory write starts over at the top");
    frame_open_ = true;
  }
  group_ = (group_ << 8) | byte;
  if (++group_byte_ < kLcdGroupBytes) return;
  put_pixel(static_cast<std::uint16_t>((group_ >> kColourBits) & kColourMask));
  put_pixel(static_cast<std::uint16_t>(group_ & kColourMask));
  group_byte_ = 0;
  group_ = 0;
}

void LcdModel::put_pixel(std::uint16_t colour) {
  ram_[static_cast<std::size_t>(pixel_)] = colour;
  if (++pixel_ < kLcdPixels) return;
  last_frame_ = panel();
  ++frame_count_;
  if (keep_history_) frames_.push_back(last_frame_);
  frame_open_ = false;
  pixel_ = 0;
  for (LcdObserver* o : observers_) o->frame(last_frame_);
}

void LcdModel::report(const std::string& message) {
  for (LcdObserver* o : observers_) o->finding(message);
}

LcdFrame LcdModel::panel() const {
  if (reset_low_ || sleeping_ || !on_) return LcdFrame{};
  return ram_;
}

const std::vector<std::uint16_t>& LcdModel::words() const {
  return words_;
}
const std::vector<LcdFrame>& LcdModel::frames() const {
  return frames_;
}
bool LcdModel::sleeping() const {
  return sleeping_;
}
bool LcdModel::display_on() const {
  return on_;
}

}  // namespace sim
