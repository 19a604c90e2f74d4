#pragma once
// The input of one parse: bytes in memory, possibly a mapped file whose pages are handed back
// as the parser moves past them. Internal to vendro::keepa.

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "vendro/core/json.hpp"
#include "vendro/keepa/mapped_input.hpp"

namespace vendro::keepa::detail {

struct ParseInput {
  std::string_view bytes;
  const MappedInput* file = nullptr;  // set when `bytes` are its view
};

// A forward-only position in a ParseInput that releases each whole block of a mapped file once
// it has stepped past it. The parser reads every byte through one of these exactly once and
// never looks back, so nothing it still needs is released. It also notes the first NUL byte the
// parser reads: the parser takes one for the end of the input, where JSON allows none.
class InputCursor {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  InputCursor(const char* at, const MappedInput* file, const char** nul)
      : at_(at), file_(file), nul_(nul) {}

  const char& operator*() const {
    if (*at_ == '\0' && !*nul_) [[unlikely]] {
      *nul_ = at_;
    }
    return *at_;
  }
  InputCursor& operator++() {
    ++at_;
    if ((reinterpret_cast<std::uintptr_t>(at_) & (MappedInput::RELEASE_BLOCK - 1)) == 0 && file_) {
      file_->release_block(at_);
    }
    return *this;
  }
  InputCursor operator++(int) {
    InputCursor before = *this;
    ++*this;
    return before;
  }
  bool operator==(const InputCursor& other) const { return at_ == other.at_; }

 private:
  const char* at_;
  const MappedInput* file_;
  const char** nul_;
};

// The parser's error for a NUL byte at `offset` that ended an otherwise valid document.
std::string nul_byte_error(std::size_t offset);

// Json::sax_parse over `input`, strict about what follows the value: only white space, up to
// the end of the input. A NUL byte after the value fails through `handler.set_error`.
template <typename Handler>
bool sax_parse(const ParseInput& input, Handler& handler) {
  const char* begin = input.bytes.data();
  const char* nul = nullptr;
  const bool parsed =
      Json::sax_parse(InputCursor(begin, input.file, &nul),
                      InputCursor(begin + input.bytes.size(), input.file, &nul), &handler);
  if (parsed && nul) {
    handler.set_error(nul_byte_error(static_cast<std::size_t>(nul - begin)));
    return false;
  }
  return parsed;
}

}  // namespace vendro::keepa::detail
