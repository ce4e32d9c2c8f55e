// Audio sources for the converter: one 10-bit code per conversion.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace sim {

// Nominal conversion rate: 36 MHz peripheral clock / 256 / 11 clocks per conversion.
inline constexpr double kConversionHz = 36'000'000.0 / 256 / 11;

class AudioSource {
 public:
  virtual ~AudioSource() = default;
  virtual std::uint16_t next() = 0;  // 0..1023
};

// Peak level in codes around the mid code 512 of a source that does not name one: the effects
// keep a sample's low 8 bits, so beyond about +-120 codes (the signed byte, less the zero
// level's calibration error) a sample wraps. At 100 even a hard-clipped WAV, which rings about
// 18% past full scale once resampled, stays inside.
inline constexpr double kDefaultLevel = 100;

// A level written in a source (AMP, PEAK): a number of codes 0..512. Throws Refusal
// (sim/refusal.h) naming the source otherwise.
double parse_level(const std::string& source, std::string_view text);

// A sample of full scale +-1.0 as the converter's code around the mid code, `peak` codes for
// full scale, clipped at the converter's range.
std::uint16_t level_code(float sample, double peak);

// The file of a wav: source, for a player that lets the room hear what the converter hears.
std::string wav_path(const std::string& source);

// silence | tone:HZ[:AMP] | noise[:AMP] | wav:PATH[:PEAK] | codes:PATH. A WAV's full scale
// +-1.0 maps to +-PEAK codes around 512. PEAK is read from the last ':' field only when that
// field is a number, so a PATH may hold ':'; a path that itself ends in ':' and a number needs
// its PEAK written out. Throws Refusal (sim/refusal.h) with a one-line message on a malformed
// source or unreadable file.
std::unique_ptr<AudioSource> make_audio(const std::string& source);

}  // namespace sim
