#pragma once
// UTF-8 text helpers. A "character" is a Unicode code point; white space is Unicode white space
// (the ASCII controls \t\n\v\f\r and \x1c-\x1f, U+0085, and the space separators), not only ASCII.

#include <cstddef>
#include <string>
#include <string_view>

namespace vendro::text {

// True when `text` is well-formed UTF-8.
bool is_valid_utf8(std::string_view text);

// `text` with each ill-formed UTF-8 sequence replaced by U+FFFD, one per maximal ill-formed
// subpart (the Unicode recommended practice, as browsers and most decoders do it).
std::string replace_invalid_utf8(std::string_view text);

// True when the code point is Unicode white space.
bool is_space(char32_t code_point);

// `text` without leading and trailing white space. Invalid UTF-8 is left as it is.
std::string strip(std::string_view text);

// Simple (one-to-one) Unicode case mapping of every code point; invalid bytes are kept.
std::string to_lower(std::string_view text);
std::string to_upper(std::string_view text);

// Number of code points in `text` (an invalid byte counts as one).
std::size_t length(std::string_view text);

// The first `count` code points of `text` (all of it when shorter).
std::string first_code_points(std::string_view text, std::size_t count);

// `text` made safe to print on a terminal: C0 controls (escape sequences among them), DEL and C1
// controls are dropped, and each invalid UTF-8 byte becomes U+FFFD. With `keep_line_breaks`,
// "\n" and "\t" stay (multi-line messages); "\r" never does. Use it for any text from outside
// before it reaches standard error.
std::string terminal_safe(std::string_view text, bool keep_line_breaks = true);

}  // namespace vendro::text
