#include "vendro/keepa/pretty_writer.hpp"

#include <charconv>
#include <vector>

namespace vendro::keepa::detail {

namespace {

constexpr std::string_view SPACES =
    "                                                                                ";

// True when `text` needs no escaping and no UTF-8 check: printable ASCII without '"' and '\'.
bool is_plain_ascii(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\') return false;
  }
  return true;
}

// Scalars other than plain text and integers go through the library's own serialiser.
void append_dumped(std::string& out, const Json& scalar) {
  out += scalar.dump(-1, ' ', false, Json::error_handler_t::replace);
}

void append_scalar(std::string& out, const Json& value) {
  switch (value.type()) {
    case Json::value_t::number_integer:
      append_integer(out, value.get<std::int64_t>());
      return;
    case Json::value_t::number_unsigned:
      append_unsigned(out, value.get<std::uint64_t>());
      return;
    case Json::value_t::string:
      append_string(out, value.get_ref<const std::string&>());
      return;
    default:
      append_dumped(out, value);
  }
}

template <typename Number>
void append_number(std::string& out, Number value) {
  char buffer[24];
  auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
  (void)ec;  // 24 bytes hold every 64-bit integer
  out.append(buffer, end);
}

}  // namespace

void append_indent(std::string& out, std::size_t depth) {
  std::size_t count = depth * 2;
  while (count > SPACES.size()) {
    out += SPACES;
    count -= SPACES.size();
  }
  out.append(SPACES.data(), count);
}

void append_integer(std::string& out, std::int64_t value) {
  append_number(out, value);
}
void append_unsigned(std::string& out, std::uint64_t value) {
  append_number(out, value);
}
void append_float(std::string& out, double value) {
  append_dumped(out, Json(value));
}

void append_string(std::string& out, std::string_view text) {
  if (is_plain_ascii(text)) {
    out += '"';
    out += text;
    out += '"';
  } else {
    append_dumped(out, Json(std::string(text)));
  }
}

void append_value(std::string& out, const Json& value, std::size_t depth) {
  struct Level {
    const Json* container;
    std::size_t next;
  };
  std::vector<Level> levels;
  // Writes a scalar or an empty container whole, or opens a container and returns true.
  auto open = [&](const Json& v) {
    if (!v.is_structured()) {
      append_scalar(out, v);
    } else if (v.empty()) {
      out += v.is_object() ? "{}" : "[]";
    } else {
      out += v.is_object() ? '{' : '[';
      levels.push_back({&v, 0});
    }
  };
  open(value);
  while (!levels.empty()) {
    const std::size_t level_depth = depth + levels.size();
    Level& level = levels.back();
    const Json& container = *level.container;
    if (level.next == container.size()) {
      out += '\n';
      append_indent(out, level_depth - 1);
      out += container.is_object() ? '}' : ']';
      levels.pop_back();
      continue;
    }
    out += level.next == 0 ? "\n" : ",\n";
    append_indent(out, level_depth);
    const std::size_t index = level.next++;
    if (container.is_object()) {
      const auto& member = *(container.get_ref<const Json::object_t&>().begin() +
                             static_cast<std::ptrdiff_t>(index));
      append_string(out, member.first);
      out += ": ";
      open(member.second);
    } else {
      open(container.get_ref<const Json::array_t&>()[index]);
    }
  }
}

}  // namespace vendro::keepa::detail
