#pragma once
// The one JSON type of vendro: objects keep insertion order, which is the order of every
// serialised output and every result map.

#include <nlohmann/json.hpp>
#include <string>

namespace vendro {

using Json = nlohmann::ordered_json;

// Serialises `value` the way vendro writes JSON for people: indent 2, UTF-8 left unescaped.
// Invalid UTF-8 inside strings is replaced by U+FFFD instead of throwing.
std::string to_pretty_json(const Json& value);

// Compact single-line form with UTF-8 unescaped (for JSON carried inside a text field).
std::string to_compact_json(const Json& value);

// True when `value` is "truthy": everything except null, false, 0, 0.0, "", [] and {}.
bool truthy(const Json& value);

}  // namespace vendro
