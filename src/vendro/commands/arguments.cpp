#include "vendro/commands/command_table.hpp"

namespace vendro::commands {

void Arguments::set(const std::string& name, Json value, Json as_given) {
  values_[name] = std::move(value);
  given_[name] = std::move(as_given);
}

void Arguments::set_default(const std::string& name, Json value) {
  defaults_[name] = std::move(value);
}

bool Arguments::has(const std::string& name) const {
  return values_.contains(name);
}

const Json& Arguments::get(const std::string& name) const {
  static const Json none;
  if (auto it = values_.find(name); it != values_.end()) return *it;
  if (auto it = defaults_.find(name); it != defaults_.end()) return *it;
  return none;
}

const Json& Arguments::as_given(const std::string& name) const {
  static const Json none;
  auto it = given_.find(name);
  return it == given_.end() ? none : *it;
}

std::string Arguments::text(const std::string& name, const std::string& fallback) const {
  const Json& value = get(name);
  return value.is_string() ? value.get<std::string>() : fallback;
}

std::optional<std::string> Arguments::optional_text(const std::string& name) const {
  const Json& value = get(name);
  if (!value.is_string()) return std::nullopt;
  return value.get<std::string>();
}

std::optional<std::int64_t> Arguments::integer(const std::string& name) const {
  const Json& value = get(name);
  if (!value.is_number_integer()) return std::nullopt;
  return value.get<std::int64_t>();
}

std::optional<double> Arguments::number(const std::string& name) const {
  const Json& value = get(name);
  if (!value.is_number()) return std::nullopt;
  return value.get<double>();
}

bool Arguments::flag(const std::string& name) const {
  const Json& value = get(name);
  return value.is_boolean() && value.get<bool>();
}

std::vector<std::string> Arguments::texts(const std::string& name) const {
  std::vector<std::string> list;
  for (const Json& item : get(name)) {
    if (item.is_string()) list.push_back(item.get<std::string>());
  }
  return list;
}

std::string tool_name(const Command& command) {
  if (!command.tool_name.empty()) return command.tool_name;
  std::string name;
  for (const std::string& word : command.path) name += (name.empty() ? "" : "_") + word;
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

std::string argument_name(const Param& param) {
  std::string name = param.name;
  for (char& c : name) {
    if (c == '-') c = '_';
  }
  return name;
}

}  // namespace vendro::commands
