// What the audio sources share in reading a source: its numbers and its refusal. Private to
// the board model (the core and the file sources); the number fallback is here for its test.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace sim {

inline constexpr std::uint16_t kMaxCode = 1023;

// Throws Refusal: "audio source 'SOURCE': WHY".
[[noreturn]] void refuse_audio(const std::string& source, const std::string& why);

// The whole of text as a finite decimal number, as std::from_chars reads one (an optional '-',
// no '+', no spaces, no hex, no inf or nan), or nothing. Where the library has no from_chars for
// double (libc++ 14, the WebAssembly build's), strtod reads it.
std::optional<double> to_number(std::string_view text);

namespace detail {
// The strtod reading, built everywhere so that a host test can hold it against from_chars.
std::optional<double> to_number_by_strtod(std::string_view text);
}  // namespace detail

}  // namespace sim
