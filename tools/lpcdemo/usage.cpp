#include "usage.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <numeric>

namespace lpcdemo {
namespace {

// Letters to insert, delete or change to turn a into b.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// " (did you mean X?)" for the name a word is a slip of one or two letters from, or the same
// name in other letter case, else "".
std::string suggestion(std::string_view word, const std::vector<std::string>& names) {
  constexpr std::size_t kSlip = 2;
  const auto same_letters = std::find_if(names.begin(), names.end(), [word](const std::string& n) {
    return std::equal(n.begin(), n.end(), word.begin(), word.end(), [](char a, char b) {
      return std::tolower(static_cast<unsigned char>(a)) ==
             std::tolower(static_cast<unsigned char>(b));
    });
  });
  if (same_letters != names.end()) return " (did you mean " + *same_letters + "?)";
  const auto nearest = std::min_element(names.begin(), names.end(), [word](auto& a, auto& b) {
    return edit_distance(word, a) < edit_distance(word, b);
  });
  if (nearest == names.end() || edit_distance(word, *nearest) > kSlip) return "";
  return " (did you mean " + *nearest + "?)";
}

std::string joined(const std::vector<std::string>& names) {
  std::string out;
  for (const std::string& n : names) out += (out.empty() ? "" : ", ") + n;
  return out;
}

}  // namespace

const CLI::Validator kNotEmpty(
    [](const std::string& value) { return value.empty() ? "must not be empty" : ""; }, "", "");

CLI::Validator one_of(std::vector<std::string> names) {
  return CLI::Validator(
      [names](const std::string& value) -> std::string {
        if (std::find(names.begin(), names.end(), value) != names.end()) return "";
        return "'" + value + "' is not one of " + joined(names) + suggestion(value, names);
      },
      [names] {  // as CLI::IsMember lists them in the help
        std::string listed;
        for (const std::string& n : names) listed += (listed.empty() ? "{" : ",") + n;
        return listed + "}";
      }(),
      "");
}

// The value is given on as plain decimal: CLI11 converts with strtoll's base 0, which would
// read a leading zero as octal ("010" as 8 frames).
CLI::Validator whole_number(std::int64_t lo, std::int64_t hi) {
  return CLI::Validator(
      [lo, hi](std::string& value) -> std::string {
        std::int64_t n = 0;
        const char* end = value.data() + value.size();
        const auto [stop, ec] = std::from_chars(value.data(), end, n);
        if (value.empty() || stop != end || ec == std::errc::invalid_argument) {
          return "'" + value + "' is not a whole number";
        }
        if (ec == std::errc::result_out_of_range || n < lo || n > hi) {
          return value + " is not in " + std::to_string(lo) + ".." + std::to_string(hi);
        }
        value = std::to_string(n);
        return "";
      },
      "", "");
}

CLI::Validator byte_number() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        const bool hex = value.starts_with("0x") || value.starts_with("0X");
        const char* begin = value.data() + (hex ? 2 : 0);
        const char* end = value.data() + value.size();
        unsigned n = 0;
        const auto [stop, ec] = std::from_chars(begin, end, n, hex ? 16 : 10);
        if (begin == end || stop != end || ec == std::errc::invalid_argument) {
          return "'" + value + "' is not a byte (decimal, or hexadecimal after 0x)";
        }
        if (ec == std::errc::result_out_of_range || n > 0xFF) return value + " is not in 0..255";
        value = std::to_string(n);
        return "";
      },
      "", "");
}

CLI::Validator positive_number(double hi) {
  return CLI::Validator(
      [hi](const std::string& value) -> std::string {
        double x = 0;
        const char* end = value.data() + value.size();
        const auto [stop, ec] = std::from_chars(value.data(), end, x, std::chars_format::fixed);
        if (value.empty() || stop != end || ec == std::errc::invalid_argument) {
          return "'" + value + "' is not a decimal number";
        }
        if (ec == std::errc::result_out_of_range || !(x > 0) || x > hi) {
          return value + " is not above 0 and at most " + std::to_string(static_cast<long>(hi));
        }
        return "";
      },
      "", "");
}

std::string parse_failure(CLI::App& app, const CLI::ParseError& e,
                          const std::vector<std::string>& args) {
  std::vector<std::string> commands;
  for (const CLI::App* sub : app.get_subcommands({})) commands.push_back(sub->get_name());
  const std::string listed = " (" + joined(commands) + ")";
  if (args.empty()) return "a subcommand is required" + listed;
  const auto found = app.get_subcommands([&](CLI::App* sub) { return sub->get_name() == args[0]; });
  if (found.empty()) {
    if (args[0].starts_with('-'))
      return "unknown option " + args[0] + ": give a subcommand first" + listed;
    return "unknown subcommand '" + args[0] + "'" + listed + suggestion(args[0], commands);
  }
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
    // CLI11 says "--frames: 1 required INT missing" or "At Most 1 required but received 2".
    const std::string what = e.what();
    const std::string name = what.substr(0, what.find(':'));
    const auto given = std::count_if(args.begin() + 1, args.end(), [&](const std::string& a) {
      return a == name || a.starts_with(name + "=");
    });
    if (name.starts_with("--") && given > 1) {
      return name + " is given " + std::to_string(given) + " times: it takes one value";
    }
    if (name.starts_with("--")) return name + " needs a value";
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&e) == nullptr) return e.what();
  const CLI::App& sub = *found.front();
  std::vector<std::string> options;
  for (const CLI::Option* opt : sub.get_options()) {
    for (const std::string& name : opt->get_lnames()) options.push_back("--" + name);
  }
  // The first word that is neither an option of the subcommand nor the value of one.
  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string name = args[i].substr(0, args[i].find('='));
    const CLI::Option* opt = args[i].starts_with('-') ? sub.get_option_no_throw(name) : nullptr;
    if (!args[i].starts_with('-')) return "unexpected argument '" + args[i] + "'";
    if (opt == nullptr) return "unknown option " + name + suggestion(name, options);
    if (opt->get_expected_min() > 0 && name.size() == args[i].size()) ++i;
  }
  return e.what();
}

std::string one_line(std::string_view message) {
  std::string out(message);
  for (char& c : out) {
    if (std::iscntrl(static_cast<unsigned char>(c))) c = c == '\n' || c == '\t' ? ' ' : '?';
  }
  return out;
}

}  // namespace lpcdemo
