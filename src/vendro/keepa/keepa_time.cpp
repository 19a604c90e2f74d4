#include "vendro/keepa/keepa_time.hpp"

#include "vendro/keepa/time_rules.hpp"

namespace vendro::keepa {

std::int64_t keepa_minutes_to_unix_seconds(const Json& keepa_time) {
  return detail::unix_seconds_of_minutes(detail::parse_keepa_time(keepa_time));
}

std::int64_t keepa_minutes_to_unix_milliseconds(const Json& keepa_time) {
  return detail::unix_milliseconds_of_minutes(detail::parse_keepa_time(keepa_time));
}

std::string keepa_minutes_to_utc_iso(const Json& keepa_time) {
  return detail::utc_iso_of_minutes(detail::parse_keepa_time(keepa_time));
}

Json add_keepa_time_conversions(const Json& value) {
  if (value.is_array()) {
    Json converted = Json::array();
    for (const Json& element : value) converted.push_back(add_keepa_time_conversions(element));
    return converted;
  }
  if (!value.is_object()) return value;

  // operator[] keeps a name at its first position and takes the last value assigned to it.
  Json converted = Json::object();
  for (const auto& [key, item] : value.items()) {
    converted[key] = add_keepa_time_conversions(item);
    if (detail::should_convert_scalar_key(key, item)) {
      const double minutes = detail::parse_keepa_time(item);
      converted[key + "UnixSeconds"] = detail::unix_seconds_of_minutes(minutes);
      converted[key + "UnixMilliseconds"] = detail::unix_milliseconds_of_minutes(minutes);
      converted[key + "Utc"] = detail::utc_iso_of_minutes(minutes);
    } else if (key == "csv" && detail::looks_like_csv(item)) {
      Json histories = Json::array();
      for (const Json& series : item) histories.push_back(detail::convert_pair_series(series));
      converted["csvUnixSeconds"] = std::move(histories);
    }
  }
  return converted;
}

}  // namespace vendro::keepa
