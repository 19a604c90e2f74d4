#include "vendro/commands/value_rules.hpp"

#include <charconv>
#include <cmath>

#include "vendro/core/json.hpp"
#include "vendro/core/text.hpp"

namespace vendro::commands {

namespace {

bool is_integer_text(std::string_view text) {
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) text.remove_prefix(1);
  if (text.empty()) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

std::string range_text(const IntegerRules& rules) {
  return std::to_string(rules.min) + " 到 " + std::to_string(rules.max);
}

// The number a JSON number text spells, its fraction dropped; nothing for other text.
std::optional<double> truncated_number(const std::string& text) {
  const Json number = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!number.is_number()) return std::nullopt;
  return std::trunc(number.get<double>());
}

}  // namespace

ParsedInteger parse_integer(std::string_view text, const IntegerRules& rules) {
  const std::string stripped = text::strip(text);
  ParsedInteger result;
  auto out_of_range = [&] {
    result.out_of_range = true;
    result.error = "超出范围（" + range_text(rules) + "），收到「" + stripped + "」";
    return result;
  };
  if (is_integer_text(stripped)) {
    std::string_view digits = stripped;
    if (digits.front() == '+') digits.remove_prefix(1);
    std::int64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || value < rules.min || value > rules.max) return out_of_range();
    result.value = value;
    return result;
  }
  if (rules.truncate_fraction) {
    if (const std::optional<double> number = truncated_number(stripped)) {
      // Both limits are exact in a double once widened to ±2^63; a NaN fails both tests.
      if (!(*number >= static_cast<double>(rules.min) &&
            *number < static_cast<double>(rules.max) + 1.0)) {
        return out_of_range();
      }
      const auto value = static_cast<std::int64_t>(*number);
      if (value < rules.min || value > rules.max) return out_of_range();
      result.value = value;
      return result;
    }
    result.error = "必须是数字，收到「" + stripped + "」";
    return result;
  }
  result.error = "必须是整数，收到「" + stripped + "」";
  return result;
}

ParsedIntegers parse_integer_list(std::string_view text, const IntegerRules& rules) {
  ParsedIntegers result;
  if (text::strip(text).empty()) return result;
  for (;;) {
    const std::size_t comma = text.find(',');
    ParsedInteger piece = parse_integer(text.substr(0, comma), rules);
    if (!piece.value) {
      result.error = "应是逗号分隔的整数，其中一项" + piece.error;
      return result;
    }
    result.values.push_back(*piece.value);
    if (comma == std::string_view::npos) return result;
    text.remove_prefix(comma + 1);
  }
}

std::optional<double> parse_seconds(std::string_view text, double min, double max) {
  const std::string stripped = text::strip(text);
  double seconds = 0;
  const auto [end, ec] =
      std::from_chars(stripped.data(), stripped.data() + stripped.size(), seconds);
  if (stripped.empty() || ec != std::errc() || end != stripped.data() + stripped.size() ||
      !std::isfinite(seconds) || seconds < min || seconds > max) {
    return std::nullopt;
  }
  return seconds;
}

std::string seconds_range_text(double min, double max) {
  auto number = [](double value) {
    std::string written = std::to_string(value);
    written.erase(written.find_last_not_of('0') + 1);
    if (written.back() == '.') written.pop_back();
    return written;
  };
  return number(min) + " 到 " + number(max);
}

std::string seconds_error(std::string_view text, double min, double max) {
  if (parse_seconds(text, min, max)) return "";
  return "须是 " + seconds_range_text(min, max) + " 之间的秒数，收到「" + std::string(text) + "」";
}

}  // namespace vendro::commands
