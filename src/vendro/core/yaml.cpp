#include "vendro/core/yaml.hpp"

#include <yaml-cpp/yaml.h>

#include <cmath>
#include <limits>
#include <regex>
#include <stdexcept>

#include "vendro/core/files.hpp"

namespace vendro::yaml {

namespace {

// Enough for any real settings file; stops alias bombs from expanding without bound.
constexpr std::size_t MAX_NODES = 1'000'000;

const std::string CORE_TAG_PREFIX = "tag:yaml.org,2002:";

std::string without_underscores(std::string s) {
  std::erase(s, '_');
  return s;
}

Json resolve_integer(const std::string& text) {
  static const std::regex binary(R"(^[-+]?0b[01_]+$)");
  static const std::regex octal(R"(^[-+]?0[0-7_]+$)");
  static const std::regex decimal(R"(^[-+]?(0|[1-9][0-9_]*)$)");
  static const std::regex hex(R"(^[-+]?0x[0-9a-fA-F_]+$)");
  static const std::regex sexagesimal(R"(^[-+]?[1-9][0-9_]*(:[0-5]?[0-9])+$)");
  bool negative = !text.empty() && text[0] == '-';
  std::string body = without_underscores(text);
  if (!body.empty() && (body[0] == '-' || body[0] == '+')) body.erase(0, 1);
  unsigned long long magnitude = 0;
  // An integer beyond 64 bits stays text (its digits), instead of failing the whole document.
  try {
    if (std::regex_match(text, binary)) {
      magnitude = std::stoull(body.substr(2), nullptr, 2);
    } else if (std::regex_match(text, hex)) {
      magnitude = std::stoull(body.substr(2), nullptr, 16);
    } else if (std::regex_match(text, octal)) {
      magnitude = std::stoull(body, nullptr, 8);
    } else if (std::regex_match(text, decimal)) {
      magnitude = std::stoull(body, nullptr, 10);
    } else if (std::regex_match(text, sexagesimal)) {
      std::size_t start = 0;
      while (true) {
        auto colon = body.find(':', start);
        magnitude = magnitude * 60 + std::stoull(body.substr(start, colon - start));
        if (colon == std::string::npos) break;
        start = colon + 1;
      }
    } else {
      return nullptr;
    }
  } catch (const std::out_of_range&) {
    return nullptr;
  }
  if (!negative) return magnitude;
  if (magnitude <= static_cast<unsigned long long>(std::numeric_limits<long long>::max()) + 1) {
    return static_cast<long long>(0ULL - magnitude);
  }
  return -static_cast<double>(magnitude);
}

Json resolve_float(const std::string& text) {
  static const std::regex plain(R"(^[-+]?([0-9][0-9_]*)?\.[0-9_]*([eE][-+][0-9]+)?$)");
  static const std::regex infinity(R"(^[-+]?\.(inf|Inf|INF)$)");
  static const std::regex nan(R"(^\.(nan|NaN|NAN)$)");
  if (std::regex_match(text, infinity)) {
    double inf = std::numeric_limits<double>::infinity();
    return text[0] == '-' ? -inf : inf;
  }
  if (std::regex_match(text, nan)) return std::numeric_limits<double>::quiet_NaN();
  if (text == "." || text == "+." || text == "-.") return nullptr;
  if (std::regex_match(text, plain)) return std::stod(without_underscores(text));
  return nullptr;
}

// A plain scalar, resolved by the YAML 1.1 implicit rules.
Json resolve_plain(const std::string& text) {
  static const std::regex null_form(R"(^(~|null|Null|NULL|)$)");
  static const std::regex true_form(R"(^(yes|Yes|YES|true|True|TRUE|on|On|ON)$)");
  static const std::regex false_form(R"(^(no|No|NO|false|False|FALSE|off|Off|OFF)$)");
  if (std::regex_match(text, null_form)) return nullptr;
  if (std::regex_match(text, true_form)) return true;
  if (std::regex_match(text, false_form)) return false;
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
  return parse(files::read(path), path.string());
}

std::string dump(const Json& value) {
  YAML::Emitter out;
  out.SetOutputCharset(YAML::EmitNonAscii);
  emit(out, value);
  return std::string(out.c_str()) + "\n";
}

}  // namespace vendro::yaml
