#pragma once
// Numbers in command arguments, checked alike by every command and on both fronts: integers as
// decimal digits with an optional sign, seconds as a decimal number, white space around ignored,
// within the argument's range. Anything else is refused with a Chinese reason that names the
// value and, when out of range, the range; nothing is clamped or wrapped.

#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vendro::commands {

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

struct ParsedIntegers {
  std::vector<std::int64_t> values;
  std::string error;  // the Chinese reason when a piece is not valid
};

// The integers of a comma list ("1, 2,3") under `rules`; blank text is an empty list.
ParsedIntegers parse_integer_list(std::string_view text, const IntegerRules& rules = {});

// Seconds given as a decimal number ("1.5"), white space around ignored, finite and within
// [min, max]; nothing otherwise (NaN and infinities, which CLI11's Range lets through, included).
std::optional<double> parse_seconds(std::string_view text, double min, double max);

// "1 到 3600", "0.001 到 86400": a range of seconds as messages and help show it.
std::string seconds_range_text(double min, double max);

// The Chinese reason `text` is not such a number of seconds (naming the range and the value), or
// "" when it is.
std::string seconds_error(std::string_view text, double min, double max);

}  // namespace vendro::commands
