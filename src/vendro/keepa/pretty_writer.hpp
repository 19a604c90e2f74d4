#pragma once
// Pieces of pretty-printed JSON, byte for byte as vendro::to_pretty_json writes them (indent 2,
// UTF-8 unescaped, invalid UTF-8 replaced), for writers that produce a document piecewise.
// Internal to vendro::keepa. Everything appends to `out`; nothing throws except std::bad_alloc.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "vendro/core/json.hpp"

namespace vendro::keepa::detail {

// Two spaces per level of `depth`.
void append_indent(std::string& out, std::size_t depth);

void append_integer(std::string& out, std::int64_t value);
void append_unsigned(std::string& out, std::uint64_t value);
void append_float(std::string& out, double value);
// `text` quoted and escaped.
void append_string(std::string& out, std::string_view text);

// `value` pretty-printed as if it stood at nesting `depth` (its members one level deeper).
// Iterative, so deeply nested values cannot exhaust the call stack.
void append_value(std::string& out, const Json& value, std::size_t depth);

}  // namespace vendro::keepa::detail
