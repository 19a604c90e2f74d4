#include "vendro/keepa/pretty_writer.hpp"

#include <algorithm>
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

constexpr char DIGIT_PAIRS[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Decimal digits of `value`, written back to front two at a time into a scratch and moved
// with one fixed-size copy: integers are most of what a Keepa payload holds.
void append_decimal(TextBuffer& out, std::uint64_t value, bool negative) {
  constexpr std::size_t MAX_LENGTH = 24;  // 20 digits and a sign fit
  char scratch[2 * MAX_LENGTH] = {};      // digits end at the middle; the copy may read past it
  char* start = scratch + MAX_LENGTH;
  while (value >= 100) {
    const auto pair = static_cast<std::size_t>(value % 100) * 2;
    value /= 100;
    *--start = DIGIT_PAIRS[pair + 1];
    *--start = DIGIT_PAIRS[pair];
  }
  if (value >= 10) {
    const auto pair = static_cast<std::size_t>(value) * 2;
    *--start = DIGIT_PAIRS[pair + 1];
    *--start = DIGIT_PAIRS[pair];
  } else {
    *--start = static_cast<char>('0' + value);
  }
  if (negative) *--start = '-';
  std::memcpy(out.reserve(MAX_LENGTH), start, MAX_LENGTH);
  out.commit(static_cast<std::size_t>(scratch + MAX_LENGTH - start));
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

void append_integer(TextBuffer& out, std::int64_t value) {
  // Negated in unsigned arithmetic, so the smallest int64 is fine too.
  const bool negative = value < 0;
  const auto magnitude =
      negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
  append_decimal(out, magnitude, negative);
}

void append_unsigned(TextBuffer& out, std::uint64_t value) {
  append_decimal(out, value, false);
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
