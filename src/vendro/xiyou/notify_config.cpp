#include "vendro/xiyou/notify_config.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "vendro/core/environment.hpp"
#include "vendro/core/text.hpp"
#include "vendro/core/yaml.hpp"

namespace vendro::xiyou {

namespace {

Json json_list(const std::vector<std::string>& items) {
  Json out = Json::array();
  for (const auto& item : items) out.push_back(item);
  return out;
}

Json json_optional(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}

// Floats the way people expect to read them back: fixed notation for moderate exponents (always
// with a fractional part), scientific otherwise; the digits are the shortest that round-trip.
std::string float_text(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buf[64];
  auto sci = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  std::string scientific(buf, sci.ptr);
  int exponent = std::stoi(scientific.substr(scientific.find('e') + 1));
  if (exponent < -4 || exponent >= 16) return scientific;
  auto fixed = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  std::string text(buf, fixed.ptr);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

// A base-10 integer text: optional sign, digits with single "_" between them.
std::optional<long long> parse_decimal(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  unsigned long long magnitude = 0;
  bool previous_was_digit = false;
  for (char c : text) {
    if (c == '_') {
      if (!previous_was_digit) return std::nullopt;
      previous_was_digit = false;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    unsigned digit = static_cast<unsigned>(c - '0');
    if (magnitude > (std::numeric_limits<unsigned long long>::max() - digit) / 10) {
      return std::nullopt;
    }
    magnitude = magnitude * 10 + digit;
    previous_was_digit = true;
  }
  if (!previous_was_digit) return std::nullopt;  // trailing "_"
  constexpr auto max = static_cast<unsigned long long>(std::numeric_limits<long long>::max());
  if (!negative) {
    if (magnitude > max) return std::nullopt;
    return static_cast<long long>(magnitude);
  }
  if (magnitude > max + 1) return std::nullopt;
  return static_cast<long long>(0ULL - magnitude);
}

}  // namespace

Json XiyouNotifyConfig::to_json() const {
  return {{"path", path.string()},
          {"webhook_url", json_optional(webhook_url)},
          {"mentioned_list", json_list(mentioned_list)},
          {"mentioned_mobile_list", json_list(mentioned_mobile_list)},
          {"mention_all", mention_all},
          {"quick_login_url", json_optional(quick_login_url)},
          {"dedupe_minutes", dedupe_minutes},
          {"source", source}};
}

XiyouNotifyConfig load_notify_config(const std::optional<XiyouSettings>& settings) {
  return load_local_notify_config(settings ? *settings : load_settings());
}

XiyouNotifyConfig load_local_notify_config(const XiyouSettings& settings) {
  std::filesystem::path path = expand_user(settings.notify_path);
  Json top = read_yaml(path);
  auto section = [&](const char* key) {
    auto it = top.find(key);
    return it != top.end() && it->is_object() ? *it : Json::object();
  };
  auto member = [](const Json& map, const char* key) {
    auto it = map.find(key);
    return it != map.end() ? *it : Json();
  };
  Json robot = section("wechat_work");
  Json mentions = section("mentions");

  // The nested address wins when it is truthy, even if it then cleans to nothing.
  Json webhook = member(robot, "webhook_url");
  if (!truthy(webhook)) webhook = member(top, "webhook_url");
  Json quick_login = member(top, "quick_login_url");
  if (!truthy(quick_login)) quick_login = member(top, "admin_login_url");

  bool mention_all = truthy(member(mentions, "mention_all"));
  std::vector<std::string> mentioned = string_tuple(member(mentions, "mentioned_list"));
  if (mention_all) mentioned.push_back("@all");

  return XiyouNotifyConfig{
      .path = path,
      .webhook_url = optional_str(webhook),
      .mentioned_list = std::move(mentioned),
      .mentioned_mobile_list = string_tuple(member(mentions, "mentioned_mobile_list")),
      .mention_all = mention_all,
      .quick_login_url = optional_str(quick_login),
      .dedupe_minutes = positive_int(member(top, "dedupe_minutes"), DEFAULT_DEDUPE_MINUTES),
      .source = "local",
  };
}

std::filesystem::path expand_user(const std::filesystem::path& path) {
  const std::string& text = path.native();
  if (text == "~") return home_dir();
  if (text.starts_with("~/")) return home_dir() / text.substr(2);
  return path;
}

Json read_yaml(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return Json::object();
  Json data = yaml::load_file(path);
  if (!truthy(data) || !data.is_object()) return Json::object();
  return data;
}

std::string text_form(const Json& value) {
  switch (value.type()) {
    case Json::value_t::string:
      return value.get<std::string>();
    case Json::value_t::boolean:
      return value.get<bool>() ? "True" : "False";
    case Json::value_t::null:
      return "None";
    case Json::value_t::number_float:
      return float_text(value.get<double>());
    default:
      return value.dump();  // integers in decimal; lists and maps as compact JSON
  }
}

std::vector<std::string> string_tuple(const Json& value) {
  std::vector<std::string> out;
  if (value.is_string()) {
    if (auto item = text::strip(value.get_ref<const std::string&>()); !item.empty()) {
      out.push_back(std::move(item));
    }
  } else if (value.is_array()) {
    for (const Json& element : value) {
      if (auto item = text::strip(text_form(element)); !item.empty()) {
        out.push_back(std::move(item));
      }
    }
  }
  return out;
}

std::optional<std::string> optional_str(const Json& value) {
  if (value.is_null()) return std::nullopt;
  std::string text = text::strip(text_form(value));
  if (text.empty()) return std::nullopt;
  return text;
}

std::optional<long long> to_integer(const Json& value) {
  switch (value.type()) {
    case Json::value_t::boolean:
      return value.get<bool>() ? 1 : 0;
    case Json::value_t::number_integer:
      return value.get<long long>();
    case Json::value_t::number_unsigned: {
      auto magnitude = value.get<unsigned long long>();
      if (magnitude > static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
        return std::nullopt;
      }
      return static_cast<long long>(magnitude);
    }
    case Json::value_t::number_float: {
      double truncated = std::trunc(value.get<double>());
      // NaN fails both comparisons.
      if (!(truncated >= -9.2e18 && truncated <= 9.2e18)) return std::nullopt;
      return static_cast<long long>(truncated);
    }
    case Json::value_t::string:
      return parse_decimal(text::strip(value.get_ref<const std::string&>()));
    default:
      return std::nullopt;
  }
}

long long positive_int(const Json& value, long long fallback) {
  auto number = to_integer(value);
  return number && *number > 0 ? *number : fallback;
}

}  // namespace vendro::xiyou
