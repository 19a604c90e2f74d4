#pragma once
// Small pieces the stand-in sites share: the text form of their mode values (as
// /__standin/set?KEY=VALUE and the programs' --mode KEY=VALUE give them), cookies, page
// templates.

#include <httplib.h>

#include <string>
#include <string_view>
#include <vector>

namespace vendro::testing {

// `text` cut at every `separator`; the empty text gives no parts, "a," gives "a" and "".
std::vector<std::string> split_list(std::string_view text, char separator);

// True, with `out` set, when `text` is exactly a decimal integer within [low, high]; otherwise
// false and `out` unchanged.
bool parse_int_in(std::string_view text, int low, int high, int& out);

// The value of cookie `name` in the request's Cookie header; "" when it is not there.
std::string cookie_value(const httplib::Request& req, const std::string& name);

// `text` with every `from` replaced by `to` (replacements are not searched again).
std::string replace_all(std::string text, const std::string& from, const std::string& to);

}  // namespace vendro::testing
