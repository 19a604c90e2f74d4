#include "vendro/keepa/pretty_writer.hpp"

#include <algorithm>
#include <charconv>
#include <vector>

namespace vendro::keepa::detail {

namespace {

// ",\n" followed by enough spaces for the usual depths.
constexpr std::string_view COMMA_LINE =
    ",\n                                                                                        "
    "                                                                                        ";
constexpr std::size_t MAX_FAST_INDENT = (COMMA_LINE.size() - 2) / 2;

// True when `text` needs no escaping and no UTF-8 check: printable ASCII without '"' and '\'.
bool is_plain_ascii(std::string_view text) {
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte >= 0x80 || c == '"' || c == '\\') return false;
  }
  return true;
}

// Scalars other than plain text and integers go through the library's own serialiser.
void append_dumped(TextBuffer& out, const Json& scalar) {
  out.append(scalar.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void append_scalar(TextBuffer& out, const Json& value) {
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

// Room for any 64-bit integer in decimal: 20 digits and a sign.
constexpr std::size_t MAX_INTEGER_LENGTH = 24;

template <typename Integer>
void append_decimal(TextBuffer& out, Integer value) {
  char* start = out.reserve(MAX_INTEGER_LENGTH);
  out.commit(static_cast<std::size_t>(std::to_chars(start, start + MAX_INTEGER_LENGTH, value).ptr -
                                      start));
}

}  // namespace

void TextBuffer::grow(std::size_t count) {
  storage_.resize(std::max({storage_.size() * 2, size_ + count, std::size_t{256}}));
}

void append_line(TextBuffer& out, bool first, std::size_t depth) {
  const std::size_t skip = first ? 1 : 0;
  const std::size_t length = 2 - skip + 2 * depth;
  constexpr std::size_t SHORT = 32;
  if (length <= SHORT) {
    // One fixed-size copy, of which only `length` bytes count.
    std::memcpy(out.reserve(SHORT), COMMA_LINE.data() + skip, SHORT);
    out.commit(length);
    return;
  }
  if (depth <= MAX_FAST_INDENT) {
    out.append(COMMA_LINE.substr(skip, 2 - skip + 2 * depth));
    return;
  }
  out.append(COMMA_LINE.substr(skip, 2 - skip));
  append_indent(out, depth);
}

void append_indent(TextBuffer& out, std::size_t depth) {
  std::size_t count = depth * 2;
  const std::string_view spaces = COMMA_LINE.substr(2);
  while (count > spaces.size()) {
    out.append(spaces);
    count -= spaces.size();
  }
  out.append(spaces.substr(0, count));
}

// Integers are most of what a Keepa payload holds; to_chars writes them in place.
void append_integer(TextBuffer& out, std::int64_t value) {
  append_decimal(out, value);
}

void append_unsigned(TextBuffer& out, std::uint64_t value) {
  append_decimal(out, value);
}
void append_float(TextBuffer& out, double value) {
  append_dumped(out, Json(value));
}

void append_string(TextBuffer& out, std::string_view text) {
  if (is_plain_ascii(text)) {
    char* start = out.reserve(text.size() + 2);
    start[0] = '"';
    std::memcpy(start + 1, text.data(), text.size());
    start[text.size() + 1] = '"';
    out.commit(text.size() + 2);
  } else {
    append_dumped(out, Json(std::string(text)));
  }
}

void append_value(TextBuffer& out, const Json& value, std::size_t depth) {
  struct Level {
    const Json* container;
    std::size_t next;
  };
  std::vector<Level> levels;
  // Writes a scalar or an empty container whole, or opens a container.
  auto open = [&](const Json& v) {
    if (!v.is_structured()) {
      append_scalar(out, v);
    } else if (v.empty()) {
      out.append(v.is_object() ? "{}" : "[]");
    } else {
      out.append(v.is_object() ? '{' : '[');
      levels.push_back({&v, 0});
    }
  };
  open(value);
  while (!levels.empty()) {
    const std::size_t level_depth = depth + levels.size();
    Level& level = levels.back();
    const Json& container = *level.container;
    if (level.next == container.size()) {
      append_line(out, true, level_depth - 1);
      out.append(container.is_object() ? '}' : ']');
      levels.pop_back();
      continue;
    }
    append_line(out, level.next == 0, level_depth);
    const std::size_t index = level.next++;
    if (container.is_object()) {
      const auto& member = *(container.get_ref<const Json::object_t&>().begin() +
                             static_cast<std::ptrdiff_t>(index));
      append_string(out, member.first);
      out.append(": ");
      open(member.second);
    } else {
      open(container.get_ref<const Json::array_t&>()[index]);
    }
  }
}

}  // namespace vendro::keepa::detail
