#pragma once
// Pieces of pretty-printed JSON, byte for byte as vendro::to_pretty_json writes them (indent 2,
// UTF-8 unescaped, invalid UTF-8 replaced), for writers that produce a document piecewise.
// Internal to vendro::keepa. Nothing here throws except std::bad_alloc.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "vendro/core/json.hpp"

namespace vendro::keepa::detail {

// A growable byte buffer written through raw pointers: the hot path of the streaming converter
// appends millions of small pieces, and std::string's per-append checks and zero-fills add up.
class TextBuffer {
 public:
  // Room for `count` more bytes; write them at the returned pointer, then commit() them.
  char* reserve(std::size_t count) {
    if (storage_.size() - size_ < count) grow(count);
    return storage_.data() + size_;
  }
  void commit(std::size_t count) { size_ += count; }

  void append(std::string_view text) {
    std::memcpy(reserve(text.size()), text.data(), text.size());
    size_ += text.size();
  }
  void append(char c) {
    *reserve(1) = c;
    ++size_;
  }

  std::string_view view() const { return {storage_.data(), size_}; }
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  void clear() { size_ = 0; }

 private:
  void grow(std::size_t count);

  std::string storage_;  // its size is the capacity
  std::size_t size_ = 0;
};

// A line break (after a comma unless `first`) and the indentation of `depth`.
void append_line(TextBuffer& out, bool first, std::size_t depth);
// Two spaces per level of `depth`.
void append_indent(TextBuffer& out, std::size_t depth);

void append_integer(TextBuffer& out, std::int64_t value);
void append_unsigned(TextBuffer& out, std::uint64_t value);
void append_float(TextBuffer& out, double value);
// `text` quoted and escaped.
void append_string(TextBuffer& out, std::string_view text);

// `value` pretty-printed as if it stood at nesting `depth` (its members one level deeper).
// Iterative, so deeply nested values cannot exhaust the call stack.
void append_value(TextBuffer& out, const Json& value, std::size_t depth);

}  // namespace vendro::keepa::detail
