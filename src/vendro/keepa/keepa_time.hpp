#pragma once
// Keepa time: whole or fractional minutes counted from 2011-01-01 00:00 UTC, the time format of
// the Keepa product-data service. This module turns it into Unix seconds, Unix milliseconds and
// UTC ISO-8601 text, and adds those conversions next to every Keepa time inside a decoded Keepa
// response. Everything here is a pure function: no state, no I/O, safe from any thread.

#include <cstdint>
#include <string>

#include "vendro/core/error.hpp"
#include "vendro/core/json.hpp"

namespace vendro::keepa {

// Keepa minute 0 expressed in Unix minutes (21564000 × 60 s = 2011-01-01T00:00:00Z).
inline constexpr std::int64_t KEEPA_TIME_OFFSET_MINUTES = 21564000;

// A value that is not a usable Keepa time. `what()` is the English message:
// "Keepa time cannot be a boolean", "Keepa time cannot be empty",
// "Keepa time is not a number: '<text>'" or "Keepa time is out of range: <value>".
VENDRO_DEFINE_ERROR(KeepaValueError, InputError, "KEEPA_TIME_INVALID");

// The three conversions accept a JSON number, or text holding a decimal number (optional sign,
// digits, optional fraction and exponent) with Unicode white space around it; any other JSON
// value is read through its compact JSON text and so fails as not a number. They throw
// KeepaValueError for a boolean, empty or blank text, text that is not a number, and for
// values whose result does not fit an int64 or whose date lies outside the years 1 to 9999.

// (minutes + KEEPA_TIME_OFFSET_MINUTES) × 60 in double precision, truncated toward zero.
std::int64_t keepa_minutes_to_unix_seconds(const Json& keepa_time);

// The same sum × 60000, truncated toward zero; fractional minutes keep their sub-second part.
std::int64_t keepa_minutes_to_unix_milliseconds(const Json& keepa_time);

// The UTC date and time of keepa_minutes_to_unix_seconds as "YYYY-MM-DDTHH:MM:SSZ".
std::string keepa_minutes_to_utc_iso(const Json& keepa_time);

// A copy of `value` in which every object member holding a Keepa time (by its name, see
// time_rules.hpp) is followed by "<name>UnixSeconds", "<name>UnixMilliseconds" and "<name>Utc",
// and every "csv" member holding price histories is followed by "csvUnixSeconds", the histories
// with their time positions converted. A member name of the input that equals an added name is
// overwritten by whichever comes later (it keeps the position of its first appearance). Never
// throws for any JSON value and never changes `value`.
Json add_keepa_time_conversions(const Json& value);

}  // namespace vendro::keepa
