#include "vendro/core/json.hpp"

namespace vendro {

namespace {

// Where the nesting first goes beyond MAX_JSON_DEPTH, or npos. Counts brackets outside strings,
// which in valid JSON is exactly the structure; malformed text is refused by the parser anyway.
std::size_t too_deep_at(std::string_view text) {
  int depth = 0;
  bool in_string = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (in_string) {
      if (c == '\\') {
        ++i;
      } else if (c == '"') {
        in_string = false;
      }
    } else if (c == '"') {
      in_string = true;
    } else if (c == '[' || c == '{') {
      if (++depth > MAX_JSON_DEPTH) return i;
    } else if (c == ']' || c == '}') {
      --depth;
    }
  }
  return std::string_view::npos;
}

// The number the parser could not hold, from its report "... parsing '1e400'", shortened.
std::string overflowing_number(const std::string& report) {
  auto open = report.find('\'');
  auto close = report.rfind('\'');
  if (open == std::string::npos || close <= open) return "";
  std::string number = report.substr(open + 1, close - open - 1);
  return number.size() > 40 ? number.substr(0, 40) + "…" : number;
}

Json parse_checked(std::string_view text, const std::string& source, bool quiet_syntax) {
  if (auto at = too_deep_at(text); at != std::string_view::npos) {
    throw JsonTooDeepError(source + " 的 JSON 嵌套过深（第 " + std::to_string(at + 1) +
                           " 个字节处超过 " + std::to_string(MAX_JSON_DEPTH) + " 层）");
  }
  // The parser takes a NUL byte for the end of the text and would ignore whatever follows it.
  if (auto nul = text.find('\0'); nul != std::string_view::npos) {
    if (quiet_syntax) return Json(Json::value_t::discarded);
    throw JsonError(source + " 不是有效的 JSON：第 " + std::to_string(nul + 1) +
                    " 个字节是 NUL 字符");
  }
  try {
    return Json::parse(text.begin(), text.end());
  } catch (const Json::parse_error& e) {
    if (quiet_syntax) return Json(Json::value_t::discarded);
    std::throw_with_nested(
        JsonError(source + " 不是有效的 JSON（第 " + std::to_string(e.byte) + " 个字节附近）"));
  } catch (const Json::out_of_range& e) {
    std::string number = overflowing_number(e.what());
    std::throw_with_nested(JsonNumberError(source + " 中的数字超出可表示的范围" +
                                           (number.empty() ? "" : "：" + number)));
  }
}

}  // namespace

Json parse_json(std::string_view text, const std::string& source) {
  return parse_checked(text, source, false);
}

Json try_parse_json(std::string_view text, const std::string& source) {
  return parse_checked(text, source, true);
}

std::string to_pretty_json(const Json& value) {
  return value.dump(2, ' ', false, Json::error_handler_t::replace);
}

std::string to_compact_json(const Json& value) {
  return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

bool truthy(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
    case Json::value_t::discarded:
      return false;
    case Json::value_t::boolean:
      return value.get<bool>();
    case Json::value_t::number_integer:
      return value.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned:
      return value.get<std::uint64_t>() != 0;
    case Json::value_t::number_float:
      return value.get<double>() != 0.0;
    case Json::value_t::string:
      return !value.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object:
    case Json::value_t::binary:
      return !value.empty();
  }
  return false;
}

}  // namespace vendro
