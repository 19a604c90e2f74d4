#pragma once
// Integer option values, checked alike by every command: decimal digits with an optional sign,
// white space around ignored, within the option's range. Anything else is a usage error (exit
// status 2) that names the option, the value and, when out of range, the range; nothing is
// clamped or wrapped. CLI11's own integer conversion is not used for this reason.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vendro::cli {

struct IntegerRules {
  std::int64_t min = std::numeric_limits<std::int64_t>::min();
  std::int64_t max = std::numeric_limits<std::int64_t>::max();
  // Also accept any JSON number and drop its fraction toward zero ("3.9" is 3, "1e3" is 1000).
  bool truncate_fraction = false;
};

struct ParsedInteger {
  std::optional<std::int64_t> value;  // set when `text` is valid
  bool out_of_range = false;          // an integer (or number), but outside the range
  std::string error;                  // the Chinese reason when not valid
};

// `text` as an integer under `rules`.
ParsedInteger parse_integer(std::string_view text, const IntegerRules& rules = {});

// A CLI11 check that each value of an option is an integer under `rules`.
CLI::Validator integer_check(const IntegerRules& rules = {});

// Adds option `name` whose value, an integer under `rules`, goes to `target` when given.
CLI::Option* add_integer_option(CLI::App& app, const std::string& name,
                                std::optional<std::int64_t>& target, const std::string& description,
                                const IntegerRules& rules = {});

struct ParsedIntegers {
  std::vector<std::int64_t> values;
  std::string error;  // the Chinese reason when a piece is not valid
};

// The integers of a comma list ("1, 2,3") under `rules`; blank text is an empty list.
ParsedIntegers parse_integer_list(std::string_view text, const IntegerRules& rules = {});

// A CLI11 check that the value is such a list.
CLI::Validator integer_list_check(const IntegerRules& rules = {});

// Seconds given as a decimal number ("1.5"), white space around ignored, finite and within
// [min, max]; nothing otherwise (NaN and infinities, which CLI11's Range lets through, included).
std::optional<double> parse_seconds(std::string_view text, double min, double max);

// A CLI11 check that the value is such a number of seconds; the Chinese message names the range
// and the value.
CLI::Validator seconds_check(double min, double max);

}  // namespace vendro::cli
