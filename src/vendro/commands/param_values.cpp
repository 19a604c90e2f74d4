#include "vendro/commands/param_values.hpp"

#include <algorithm>

#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"

namespace vendro::commands {

namespace {

std::string choices_text(const std::vector<std::string>& choices) {
  std::string text;
  for (const std::string& choice : choices) text += (text.empty() ? "" : "、") + choice;
  return text;
}

// The text a tool sent for a text-like param: strings as they are, numbers and booleans as their
// JSON text (an ID sent as 42 is "42"); nothing for arrays, objects and null.
std::optional<std::string> scalar_text(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number() || value.is_boolean()) return value.dump();
  return std::nullopt;
}

[[noreturn]] void refuse(const Param& param, const std::string& reason) {
  throw InputError("参数 " + argument_name(param) + " " + reason);
}

}  // namespace

std::string text_error(const Param& param, const std::string& text) {
  switch (param.type) {
    case ParamType::integer:
      if (std::string error = parse_integer(text, param.integer_rules).error; !error.empty()) {
        return error;
      }
      break;
    case ParamType::seconds:
      if (std::string error = seconds_error(text, param.min_seconds, param.max_seconds);
          !error.empty()) {
        return error;
      }
      break;
    default:
      break;
  }
  if (!param.choices.empty() &&
      std::find(param.choices.begin(), param.choices.end(), text) == param.choices.end()) {
    return "须是以下之一：" + choices_text(param.choices) + "，收到「" + text + "」";
  }
  return param.check ? param.check(text) : std::string();
}

Json text_value(const Param& param, const std::string& text) {
  switch (param.type) {
    case ParamType::integer:
      return *parse_integer(text, param.integer_rules).value;
    case ParamType::seconds:
      return *parse_seconds(text, param.min_seconds, param.max_seconds);
    default:
      return text;
  }
}

Json json_object_value(const Param& param, const std::string& text) {
  const std::string option = "--" + param.name;
  Json document;
  if (text == "-") {
    document = parse_json(files::read_stdin(files::ARGUMENT_FILE_LIMIT), option);
  } else if (text.starts_with("@")) {
    document = parse_json(files::read(text.substr(1), files::ARGUMENT_FILE_LIMIT), option);
  } else {
    document = parse_json(text, option);
  }
  if (!document.is_object()) throw InputError(option + " 必须是 JSON 对象");
  return document;
}

void fill_defaults(const Command& command, Arguments& arguments) {
  for (const Param& param : command.params) {
    if (!param.default_value.is_null()) arguments.set_default(param.name, param.default_value);
  }
}

Arguments tool_arguments(const Command& command, const Json& arguments) {
  if (!arguments.is_null() && !arguments.is_object()) throw InputError("工具参数必须是 JSON 对象");
  const Json given = arguments.is_null() ? Json::object() : arguments;
  for (const auto& [name, value] : given.items()) {
    const bool known =
        std::any_of(command.params.begin(), command.params.end(),
                    [&](const Param& p) { return !p.cli_only && argument_name(p) == name; });
    if (!known) throw InputError("未知的参数：" + name);
  }
  Arguments result;
  for (const Param& param : command.params) {
    if (param.cli_only) continue;
    auto it = given.find(argument_name(param));
    if (it == given.end() || it->is_null()) {
      if (param.required) refuse(param, "是必填的");
      continue;
    }
    const Json& value = *it;
    switch (param.type) {
      case ParamType::flag:
        if (!value.is_boolean()) refuse(param, "必须是 true 或 false");
        result.set(param.name, value, value);
        break;
      case ParamType::json_object:
        if (!value.is_object()) refuse(param, "必须是 JSON 对象");
        result.set(param.name, value, value);
        break;
      case ParamType::text_list: {
        Json list = Json::array();
        const Json items = value.is_array() ? value : Json::array({value});
        for (const Json& item : items) {
          std::optional<std::string> text = scalar_text(item);
          if (!text) refuse(param, "必须是文本或文本列表");
          if (std::string error = text_error(param, *text); !error.empty()) refuse(param, error);
          list.push_back(*text);
        }
        result.set(param.name, list, value);
        break;
      }
      default: {
        std::optional<std::string> text = scalar_text(value);
        if (!text) refuse(param, param.type == ParamType::text ? "必须是文本" : "必须是数字");
        if (std::string error = text_error(param, *text); !error.empty()) refuse(param, error);
        result.set(param.name, text_value(param, *text), value);
      }
    }
  }
  for (const Param& param : command.params) {
    if (!result.has(param.name)) continue;
    for (const Param& other : command.params) {
      const bool excluded = std::find(param.excludes.begin(), param.excludes.end(), other.name) !=
                            param.excludes.end();
      if (excluded && result.has(other.name)) {
        refuse(param, "不能与 " + argument_name(other) + " 同时使用");
      }
    }
  }
  fill_defaults(command, result);
  return result;
}

Json input_schema(const Command& command) {
  Json properties = Json::object();
  Json required = Json::array();
  for (const Param& param : command.params) {
    if (param.cli_only) continue;
    Json schema = param.schema;
    if (schema.is_null()) {
      switch (param.type) {
        case ParamType::text:
          schema = {{"type", "string"}};
          break;
        case ParamType::integer:
          schema = {{"type", "integer"},
                    {"minimum", param.integer_rules.min},
                    {"maximum", param.integer_rules.max}};
          break;
        case ParamType::seconds:
          schema = {
              {"type", "number"}, {"minimum", param.min_seconds}, {"maximum", param.max_seconds}};
          break;
        case ParamType::flag:
          schema = {{"type", "boolean"}};
          break;
        case ParamType::text_list:
          schema = {{"type", "array"}, {"items", {{"type", "string"}}}};
          break;
        case ParamType::json_object:
          schema = {{"type", "object"}};
          break;
      }
      if (!param.choices.empty()) schema["enum"] = param.choices;
    }
    std::string description = param.help;
    if (param.type == ParamType::seconds) {
      description += "（" + seconds_range_text(param.min_seconds, param.max_seconds) + " 秒）";
    }
    schema["description"] = description;
    if (!param.default_value.is_null()) schema["default"] = param.default_value;
    properties[argument_name(param)] = std::move(schema);
    if (param.required) required.push_back(argument_name(param));
  }
  Json schema = {{"type", "object"}, {"properties", std::move(properties)}};
  if (!required.empty()) schema["required"] = std::move(required);
  schema["additionalProperties"] = false;
  return schema;
}

}  // namespace vendro::commands
