#pragma once
// The rules that decide which values are Keepa times and which members get converted. Shared by
// the tree walk (add_keepa_time_conversions) and the streaming converter, so both decide alike.
// Internal to vendro::keepa; pure functions, safe from any thread.

#include <optional>
#include <string_view>

#include "vendro/core/json.hpp"

namespace vendro::keepa::detail {

// Keepa minutes qualify within this range, inclusive (-1 is Keepa's "no data").
inline constexpr double MAX_KEEPA_MINUTE = 20000000;

// The minutes of `value` as a double. Throws KeepaValueError for a boolean, for empty or blank
// text and for text that is not a decimal number.
double parse_keepa_time(const Json& value);

// The decimal number in `text` after Unicode white space is stripped. Throws like
// parse_keepa_time.
double parse_keepa_text(std::string_view text);

// True when `minutes` is finite and within 0 to MAX_KEEPA_MINUTE.
bool is_keepa_minute(double minutes);

// True when `value` is not a boolean and parses to a qualifying minute.
bool is_keepa_minute_value(const Json& value);
// The same for text, without building a Json.
bool is_keepa_minute_text(std::string_view text);

// True when a member named `key` is a time member by its name alone: `key` without "_" and "-",
// lower-cased, is not a skipped name ("timestamp", "tokensleft", ...) and is an exact time name
// ("lastupdate", "tracking since", ...) or ends with "lastseen" or "lastupdate".
bool is_time_key(std::string_view key);

// is_keepa_minute_value(value) && is_time_key(key).
bool should_convert_scalar_key(std::string_view key, const Json& value);

// An array of at least 2 and an even number of elements whose first element is a minute value.
bool looks_like_pair_series(const Json& value);

// An array with at least one element that looks like a pair series.
bool looks_like_csv(const Json& value);

// `series` with every qualifying time position (even index) replaced by its Unix seconds; a copy
// of `series` when it does not look like a pair series.
Json convert_pair_series(const Json& series);

// The Unix seconds of `minutes` (already known to be a minute value).
std::int64_t unix_seconds_of_minutes(double minutes);
std::int64_t unix_milliseconds_of_minutes(double minutes);
std::string utc_iso_of_minutes(double minutes);

}  // namespace vendro::keepa::detail
