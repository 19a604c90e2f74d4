#pragma once
// The one JSON type of vendro: objects keep insertion order, which is the order of every
// serialised output and every result map.

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "vendro/core/error.hpp"

namespace vendro {

using Json = nlohmann::ordered_json;

// Deepest nesting of arrays and objects accepted from outside. Far beyond any real payload, and
// shallow enough that printing and sending (which recurse) stay well inside the stack.
inline constexpr int MAX_JSON_DEPTH = 512;

// Text from outside is not acceptable JSON. The message names the source and says why in
// Chinese; the parser's own report, when there is one, is kept as the cause.
VENDRO_DEFINE_ERROR(JsonError, InputError, "INVALID_INPUT");
// Arrays and objects nested deeper than MAX_JSON_DEPTH.
VENDRO_DEFINE_ERROR(JsonTooDeepError, JsonError, "JSON_TOO_DEEP");
// A number too large for a double (e.g. 1e400).
VENDRO_DEFINE_ERROR(JsonNumberError, JsonError, "JSON_NUMBER_OUT_OF_RANGE");

// The one way JSON from outside (arguments, files, HTTP answers) enters vendro. Accepts exactly
// one JSON value with only white space around it: a NUL byte or anything else after the value is
// a syntax error. `source` names the text in messages ("--data", a file path, "OPS 的答复").
// Throws JsonError for bad syntax, JsonTooDeepError and JsonNumberError for the bounds. Callers
// that read HTTP answers wrap these in their own remote error kind.
Json parse_json(std::string_view text, const std::string& source);

// Like parse_json, but text that is simply not JSON yields a discarded value (see
// Json::is_discarded) for callers to whom such an answer is no error. The bounds still throw.
Json try_parse_json(std::string_view text, const std::string& source);

// Serialises `value` the way vendro writes JSON for people: indent 2, UTF-8 left unescaped.
// Invalid UTF-8 inside strings is replaced by U+FFFD instead of throwing.
std::string to_pretty_json(const Json& value);

// Compact single-line form with UTF-8 unescaped (for JSON carried inside a text field).
std::string to_compact_json(const Json& value);

// True when `value` is "truthy": everything except null, false, 0, 0.0, "", [] and {}.
bool truthy(const Json& value);

}  // namespace vendro
