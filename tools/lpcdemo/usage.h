// The command line's own checks of what it is given, and its answer to a parse error: one line
// that names the word at fault.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace lpcdemo {

// Paths and sources: an empty one is a slip (an unset shell variable), not a choice.
extern const CLI::Validator kNotEmpty;

// One of `names`, exactly; another is named with the names, and the one it is a slip of.
CLI::Validator one_of(std::vector<std::string> names);

// A decimal whole number within [lo, hi], named as what it is not when it is not one. As a
// transform(), it hands the number on in plain decimal (a leading zero is no octal prefix).
CLI::Validator whole_number(std::int64_t lo, std::int64_t hi);

// A byte, 0..255, in decimal or in hexadecimal after 0x; handed on in decimal as a transform().
CLI::Validator byte_number();

// A decimal number above 0 and at most `hi`, such as a time in seconds.
CLI::Validator positive_number(double hi);

// A parse error in one line that names the word at fault, with a suggestion for a slip of a
// letter or two. CLI11 reports a mistyped subcommand as a missing one, and an unknown option
// with every word after it, last first.
std::string parse_failure(CLI::App& app, const CLI::ParseError& e,
                          const std::vector<std::string>& args);

// A message as one line without control characters, whatever a file or a library put in it.
std::string one_line(std::string_view message);

}  // namespace lpcdemo
