#include "vendro/core/yaml.hpp"

#include <yaml-cpp/yaml.h>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <optional>

#include "vendro/core/files.hpp"

namespace vendro::yaml {

namespace {

// Enough for any real settings file; stops alias bombs from expanding without bound.
constexpr std::size_t MAX_NODES = 1'000'000;

const std::string CORE_TAG_PREFIX = "tag:yaml.org,2002:";

// The forms below are checked by hand, in one pass each: a backtracking regex overflows the stack
// on a long scalar (a few ten thousand digits).

bool is_binary_digit(char c) {
  return c == '0' || c == '1';
}
bool is_octal_digit(char c) {
  return c >= '0' && c <= '7';
}
bool is_decimal_digit(char c) {
  return c >= '0' && c <= '9';
}
bool is_hex_digit(char c) {
  return is_decimal_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// True when `text` is not empty and every character is "_" or passes `digit`.
template <class Digit>
bool digits_or_underscores(std::string_view text, Digit digit) {
  if (text.empty()) return false;
  for (char c : text) {
    if (c != '_' && !digit(c)) return false;
  }
  return true;
}

std::string without_underscores(std::string_view text) {
  std::string out(text);
  std::erase(out, '_');
  return out;
}

// Accumulates the digits of `text` (underscores skipped) in `base`; nothing on overflow or when
// there is no digit at all.
std::optional<unsigned long long> accumulate(std::string_view text, unsigned base) {
  constexpr auto MAX = std::numeric_limits<unsigned long long>::max();
  unsigned long long value = 0;
  bool any = false;
  for (char c : text) {
    if (c == '_') continue;
    unsigned digit = is_decimal_digit(c) ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10);
    if (value > (MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
    any = true;
  }
  return any ? std::optional(value) : std::nullopt;
}

// [-+]?[1-9][0-9_]*(:[0-5]?[0-9])+, base 60.
std::optional<unsigned long long> sexagesimal(std::string_view body) {
  auto colon = body.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::string_view head = body.substr(0, colon);
  if (head.empty() || head[0] < '1' || head[0] > '9' ||
      !digits_or_underscores(head, is_decimal_digit)) {
    return std::nullopt;
  }
  auto value = accumulate(head, 10);
  for (std::string_view rest = body.substr(colon); value && !rest.empty();) {
    auto next = rest.find(':', 1);
    std::string_view piece = rest.substr(1, next == std::string_view::npos ? next : next - 1);
    bool valid =
        (piece.size() == 1 && is_decimal_digit(piece[0])) ||
        (piece.size() == 2 && piece[0] >= '0' && piece[0] <= '5' && is_decimal_digit(piece[1]));
    if (!valid || *value > (std::numeric_limits<unsigned long long>::max() - 59) / 60) {
      return std::nullopt;
    }
    value = *value * 60 + *accumulate(piece, 10);
    rest = next == std::string_view::npos ? std::string_view() : rest.substr(next);
  }
  return value;
}

// The magnitude of an integer form without its sign, or nothing when `body` is no integer form
// (or the value needs more than 64 bits: it then stays text, instead of failing the document).
std::optional<unsigned long long> integer_magnitude(std::string_view body) {
  if (body.starts_with("0b")) {
    if (!digits_or_underscores(body.substr(2), is_binary_digit)) return std::nullopt;
    return accumulate(body.substr(2), 2);
  }
  if (body.starts_with("0x")) {
    if (!digits_or_underscores(body.substr(2), is_hex_digit)) return std::nullopt;
    return accumulate(body.substr(2), 16);
  }
  if (body == "0") return 0;
  if (body.starts_with('0')) {
    if (!digits_or_underscores(body.substr(1), is_octal_digit)) return std::nullopt;
    return accumulate(body, 8);
  }
  if (digits_or_underscores(body, is_decimal_digit)) {
    if (body[0] == '_') return std::nullopt;
    return accumulate(body, 10);
  }
  return sexagesimal(body);
}

Json resolve_integer(std::string_view text) {
  bool negative = text.starts_with('-');
  std::string_view body = text;
  if (negative || text.starts_with('+')) body.remove_prefix(1);
  auto magnitude = integer_magnitude(body);
  if (!magnitude) return nullptr;
  if (!negative) return *magnitude;
  if (*magnitude <= static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1) {
    return static_cast<long long>(0ULL - *magnitude);
  }
  return -static_cast<double>(*magnitude);
}

// [-+]?([0-9][0-9_]*)?\.[0-9_]*([eE][-+][0-9]+)? (not "." alone), .inf and .nan.
Json resolve_float(std::string_view text) {
  std::string_view body = text;
  bool negative = body.starts_with('-');
  if (negative || body.starts_with('+')) body.remove_prefix(1);
  if (body == ".inf" || body == ".Inf" || body == ".INF") {
    double inf = std::numeric_limits<double>::infinity();
    return negative ? -inf : inf;
  }
  if (body == ".nan" || body == ".NaN" || body == ".NAN") {
    if (body.size() != text.size()) return nullptr;  // no sign before .nan
    return std::numeric_limits<double>::quiet_NaN();
  }
  auto dot = body.find('.');
  if (dot == std::string_view::npos || body.size() == 1) return nullptr;
  std::string_view whole = body.substr(0, dot);
  if (!whole.empty() &&
      (!is_decimal_digit(whole[0]) || !digits_or_underscores(whole, is_decimal_digit))) {
    return nullptr;
  }
  std::string_view fraction = body.substr(dot + 1);
  std::string_view exponent;
  if (auto e = fraction.find_first_of("eE"); e != std::string_view::npos) {
    exponent = fraction.substr(e + 1);
    fraction = fraction.substr(0, e);
    if (exponent.size() < 2 || (exponent[0] != '-' && exponent[0] != '+') ||
        !std::all_of(exponent.begin() + 1, exponent.end(), is_decimal_digit)) {
      return nullptr;
    }
  }
  if (!fraction.empty() && !digits_or_underscores(fraction, is_decimal_digit)) return nullptr;
  if (std::none_of(body.begin(), body.end(), is_decimal_digit)) return nullptr;  // "._"
  // strtod gives infinity or zero (and ERANGE) beyond the range of double, as a safe loader does.
  std::string digits = without_underscores(text);
  return std::strtod(digits.c_str(), nullptr);
}

bool one_of(std::string_view text, std::initializer_list<std::string_view> forms) {
  return std::find(forms.begin(), forms.end(), text) != forms.end();
}

// A plain scalar, resolved by the YAML 1.1 implicit rules.
Json resolve_plain(const std::string& text) {
  if (one_of(text, {"", "~", "null", "Null", "NULL"})) return nullptr;
  if (one_of(text, {"yes", "Yes", "YES", "true", "True", "TRUE", "on", "On", "ON"})) return true;
  if (one_of(text, {"no", "No", "NO", "false", "False", "FALSE", "off", "Off", "OFF"})) {
    return false;
  }
  if (Json number = resolve_integer(text); !number.is_null()) return number;
  if (Json number = resolve_float(text); !number.is_null()) return number;
  return text;
}

class Converter {
 public:
  explicit Converter(const std::string& source) : source_(source) {}

  Json convert(const YAML::Node& node) {
    if (++nodes_ > MAX_NODES) fail(node, "节点过多（可能是别名展开过深）");
    const std::string& tag = node.Tag();
    switch (node.Type()) {
      case YAML::NodeType::Undefined:
      case YAML::NodeType::Null:
        check_tag(node, {"null", "str"});
        return tag == CORE_TAG_PREFIX + "str" ? Json("") : Json(nullptr);
      case YAML::NodeType::Scalar:
        return scalar(node);
      case YAML::NodeType::Sequence: {
        check_tag(node, {"seq"});
        Json out = Json::array();
        for (const auto& item : node) out.push_back(convert(item));
        return out;
      }
      case YAML::NodeType::Map: {
        check_tag(node, {"map"});
        Json out = Json::object();
        for (const auto& entry : node) {
          Json key = convert(entry.first);
          std::string name = key.is_string() ? key.get<std::string>() : key.dump();
          out[name] = convert(entry.second);
        }
        return out;
      }
    }
    return nullptr;
  }

 private:
  [[noreturn]] void fail(const YAML::Node& node, const std::string& why) const {
    throw YamlError(source_ + " 第 " + std::to_string(node.Mark().line + 1) + " 行：" + why);
  }

  void check_tag(const YAML::Node& node, std::initializer_list<const char*> allowed) const {
    const std::string& tag = node.Tag();
    if (tag.empty() || tag == "?" || tag == "!") return;
    for (const char* name : allowed) {
      if (tag == CORE_TAG_PREFIX + name) return;
    }
    fail(node, "不支持的 YAML 标签 " + tag + "（只接受普通数据）");
  }

  Json scalar(const YAML::Node& node) const {
    const std::string& tag = node.Tag();
    const std::string& text = node.Scalar();
    if (tag == "!") return text;  // quoted
    if (tag == "?" || tag.empty()) return resolve_plain(text);
    check_tag(node, {"str", "int", "float", "bool", "null", "timestamp"});
    std::string kind = tag.substr(CORE_TAG_PREFIX.size());
    if (kind == "str" || kind == "timestamp") return text;
    Json resolved = resolve_plain(text);
    bool fits = (kind == "int" && resolved.is_number_integer()) ||
                (kind == "float" && resolved.is_number()) ||
                (kind == "bool" && resolved.is_boolean()) || (kind == "null" && resolved.is_null());
    if (!fits) fail(node, "值 " + text + " 不符合标签 " + tag);
    if (kind == "float") return resolved.get<double>();
    return resolved;
  }

  const std::string& source_;
  std::size_t nodes_ = 0;
};

void emit(YAML::Emitter& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::object:
      out << YAML::BeginMap;
      for (const auto& [key, item] : value.items()) {
        out << YAML::Key << key << YAML::Value;
        emit(out, item);
      }
      out << YAML::EndMap;
      break;
    case Json::value_t::array:
      out << YAML::BeginSeq;
      for (const auto& item : value) emit(out, item);
      out << YAML::EndSeq;
      break;
    case Json::value_t::string: {
      const auto& text = value.get_ref<const std::string&>();
      // Text that would read back as another type is quoted.
      if (resolve_plain(text).is_string()) {
        out << text;
      } else {
        out << YAML::DoubleQuoted << text;
      }
      break;
    }
    case Json::value_t::null:
      out << YAML::Null;
      break;
    default:
      out << value.dump();
  }
}

}  // namespace

Json parse(std::string_view text, const std::string& source) {
  YAML::Node root;
  try {
    root = YAML::Load(std::string(text));
  } catch (const YAML::Exception& e) {
    std::throw_with_nested(YamlError(source + " 不是有效的 YAML（第 " +
                                     std::to_string(e.mark.line + 1) + " 行）：" + e.msg));
  }
  return Converter(source).convert(root);
}

Json load_file(const std::filesystem::path& path) {
  return parse(files::read(path, files::SETTINGS_FILE_LIMIT), path.string());
}

std::string dump(const Json& value) {
  YAML::Emitter out;
  out.SetOutputCharset(YAML::EmitNonAscii);
  emit(out, value);
  return std::string(out.c_str()) + "\n";
}

}  // namespace vendro::yaml
