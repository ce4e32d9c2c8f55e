// What SPI0 shifts words out to: a device on SCK0 and MOSI0 that takes words in the frame
// formats it accepts.
#pragma once

#include <cstdint>
#include <string>

namespace sim {

// How a word is shifted out: its length, the clock's idle level and sampling edge, and the
// bit order.
struct SpiFormat {
  unsigned bits = 8;
  bool cpol = false;       // clock idles high
  bool cpha = false;       // data sampled on the clock's second edge
  bool lsb_first = false;  // least significant bit first
};

// Where a device says what it cannot take; the port names the setting behind it.
class SpiComplaints {
 public:
  // Said once per kind of complaint (`key`) in a run.
  virtual void refuse(const char* key, const std::string& why) = 0;

 protected:
  ~SpiComplaints() = default;
};

class SpiDevice {
 public:
  // The device's name in findings about its link.
  virtual const char* name() const = 0;
  // A word starts shifting out in `format`: whether the device can take it. What it cannot
  // take it tells `complaints`, every mismatch, not only the first.
  virtual bool accepts(const SpiFormat& format, SpiComplaints& complaints) = 0;
  // The word has shifted out completely in a format the device accepts.
  virtual void receive(std::uint16_t word) = 0;

 protected:
  ~SpiDevice() = default;
};

}  // namespace sim
