// Audio sources for the converter: one 10-bit code per conversion.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace sim {

// Nominal conversion rate: 36 MHz peripheral clock / 256 / 11 clocks per conversion.
inline constexpr double kConversionHz = 36'000'000.0 / 256 / 11;

class AudioSource {
 public:
  virtual ~AudioSource() = default;
  virtual std::uint16_t next() = 0;  // 0..1023
};

// silence | tone:HZ[:AMP] | noise[:AMP] | wav:PATH | codes:PATH. Throws std::invalid_argument
// with a one-line message on a malformed source or unreadable file.
std::unique_ptr<AudioSource> make_audio(const std::string& source);

}  // namespace sim
