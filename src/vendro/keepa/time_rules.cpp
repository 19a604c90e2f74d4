#include "vendro/keepa/time_rules.hpp"

#include <locale.h>
#include <array>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#if defined(__APPLE__)
#include <xlocale.h>
#endif

#include "vendro/core/text.hpp"
#include "vendro/keepa/keepa_time.hpp"

namespace vendro::keepa::detail {

namespace {

constexpr std::array<std::string_view, 7> SKIP_TIME_KEYS = {
    "timestamp",  "requesttime", "processingtimeinms", "refillin",
    "refillrate", "tokensleft",  "tokensconsumed"};
constexpr std::array<std::string_view, 9> EXACT_TIME_KEYS = {
    "lastupdate",     "lastpricechange", "lastratingupdate", "laststockupdate", "lastoffersupdate",
    "tracking since", "trackingsince",   "listedsince",      "lastseen"};

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Optional sign, digits with an optional fraction (or a fraction alone), optional exponent.
bool is_decimal_number(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < n && is_digit(text[i])) ++i, ++digits;
  if (i < n && text[i] == '.') {
    ++i;
    while (i < n && is_digit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < n && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < n && is_digit(text[i])) ++i, ++exponent_digits;
    if (exponent_digits == 0) return false;
  }
  return i == n;
}

// Overflow gives ±infinity and underflow ±0, like the C library; the C locale keeps "." the
// decimal point whatever the process locale is.
double strtod_c_locale(const std::string& text) {
  static const locale_t c_locale = newlocale(LC_ALL_MASK, "C", locale_t{});
  return strtod_l(text.c_str(), nullptr, c_locale);
}

double to_double(std::string_view number) {
  std::string_view digits = number;
  if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
  double value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec == std::errc() && end == digits.data() + digits.size()) return value;
  return strtod_c_locale(std::string(number));
}

[[noreturn]] void out_of_range(double minutes) {
  char text[64];
  std::snprintf(text, sizeof text, "%.17g", minutes);
  throw KeepaValueError(std::string("Keepa time is out of range: ") + text);
}

// Truncates `value` toward zero; throws when it is not finite or does not fit an int64.
std::int64_t truncate_checked(double value, double minutes) {
  constexpr double LIMIT = 9223372036854775808.0;  // 2^63
  if (!(value >= -LIMIT && value < LIMIT)) out_of_range(minutes);
  return static_cast<std::int64_t>(value);
}

}  // namespace

double parse_keepa_text(std::string_view text) {
  std::string stripped = text::strip(text);
  if (stripped.empty()) throw KeepaValueError("Keepa time cannot be empty");
  if (!is_decimal_number(stripped)) {
    throw KeepaValueError("Keepa time is not a number: '" + stripped + "'");
  }
  return to_double(stripped);
}

double parse_keepa_time(const Json& value) {
  switch (value.type()) {
    case Json::value_t::boolean:
      throw KeepaValueError("Keepa time cannot be a boolean");
    case Json::value_t::number_integer:
      return static_cast<double>(value.get<std::int64_t>());
    case Json::value_t::number_unsigned:
      return static_cast<double>(value.get<std::uint64_t>());
    case Json::value_t::number_float:
      return value.get<double>();
    case Json::value_t::string:
      return parse_keepa_text(value.get_ref<const std::string&>());
    default:
      return parse_keepa_text(to_compact_json(value));
  }
}

bool is_keepa_minute(double minutes) {
  return minutes >= 0 && minutes <= MAX_KEEPA_MINUTE;
}

bool is_keepa_minute_value(const Json& value) {
  switch (value.type()) {
    case Json::value_t::boolean:
      return false;
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
    case Json::value_t::number_float:
      return is_keepa_minute(parse_keepa_time(value));
    case Json::value_t::string:
      return is_keepa_minute_text(value.get_ref<const std::string&>());
    default:
      // null, arrays and objects never read as a number.
      return false;
  }
}

bool is_keepa_minute_text(std::string_view text) {
  try {
    return is_keepa_minute(parse_keepa_text(text));
  } catch (const KeepaValueError&) {
    return false;
  }
}

bool is_time_key(std::string_view key) {
  std::string normalized;
  normalized.reserve(key.size());
  bool ascii = true;
  for (char c : key) {
    if (c == '_' || c == '-') continue;
    if (static_cast<unsigned char>(c) >= 0x80) ascii = false;
    normalized.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
  }
  // Non-ASCII letters may lower-case to ASCII ones (KELVIN SIGN to "k").
  if (!ascii) normalized = text::to_lower(normalized);
  for (std::string_view skip : SKIP_TIME_KEYS) {
    if (normalized == skip) return false;
  }
  for (std::string_view exact : EXACT_TIME_KEYS) {
    if (normalized == exact) return true;
  }
  return normalized.ends_with("lastseen") || normalized.ends_with("lastupdate");
}

bool should_convert_scalar_key(std::string_view key, const Json& value) {
  return is_keepa_minute_value(value) && is_time_key(key);
}

bool looks_like_pair_series(const Json& value) {
  return value.is_array() && value.size() >= 2 && value.size() % 2 == 0 &&
         is_keepa_minute_value(value.front());
}

bool looks_like_csv(const Json& value) {
  if (!value.is_array()) return false;
  for (const Json& element : value) {
    if (looks_like_pair_series(element)) return true;
  }
  return false;
}

Json convert_pair_series(const Json& series) {
  if (!looks_like_pair_series(series)) return series;
  Json converted = Json::array();
  converted.get_ref<Json::array_t&>().reserve(series.size());
  for (std::size_t i = 0; i < series.size(); ++i) {
    const Json& element = series[i];
    if (i % 2 == 0 && is_keepa_minute_value(element)) {
      converted.push_back(unix_seconds_of_minutes(parse_keepa_time(element)));
    } else {
      converted.push_back(element);
    }
  }
  return converted;
}

std::int64_t unix_seconds_of_minutes(double minutes) {
  return truncate_checked((minutes + static_cast<double>(KEEPA_TIME_OFFSET_MINUTES)) * 60.0,
                          minutes);
}

std::int64_t unix_milliseconds_of_minutes(double minutes) {
  return truncate_checked((minutes + static_cast<double>(KEEPA_TIME_OFFSET_MINUTES)) * 60000.0,
                          minutes);
}

std::string utc_iso_of_minutes(double minutes) {
  using namespace std::chrono;
  const std::int64_t unix_seconds = unix_seconds_of_minutes(minutes);
  // Civil-date arithmetic on days, so every int64 second is safe and years 1..9999 are exact.
  const std::int64_t day_count =
      unix_seconds >= 0 ? unix_seconds / 86400 : -((-(unix_seconds + 1)) / 86400) - 1;
  const std::int64_t second_of_day = unix_seconds - day_count * 86400;
  // Years 1 to 9999 span days -719162 to 2932896 around the Unix epoch.
  if (day_count < -719162 || day_count > 2932896) out_of_range(minutes);
  const year_month_day date{sys_days{days{day_count}}};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(second_of_day / 3600), static_cast<int>(second_of_day / 60 % 60),
                static_cast<int>(second_of_day % 60));
  return text;
}

}  // namespace vendro::keepa::detail
