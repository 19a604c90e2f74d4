#pragma once
// YAML as plain data. Documents load into vendro::Json; only the core tags (str, int, float,
// bool, null, map, seq, timestamp) are accepted, so a tag that would build an object
// ("!!python/object:...", "!custom") is an error. Plain scalars resolve the way a YAML 1.1 safe
// loader resolves them: yes/no/on/off/true/false (three spellings each), ~/null, integers with
// "_" separators, 0x/0o-style octal/0b prefixes and base-60, floats that contain a "." plus
// .inf/.nan. Timestamps stay text. Quoted scalars are always text.

#include <filesystem>
#include <string>
#include <string_view>

#include "vendro/core/error.hpp"
#include "vendro/core/json.hpp"

namespace vendro::yaml {

// Malformed YAML, or a tag that is not plain data. The message names the source and the line.
VENDRO_DEFINE_ERROR(YamlError, Error, "YAML_ERROR");

// Parses the first document of `text`; an empty document is null. `source` names the text in
// error messages (usually the file path). The parser itself refuses nesting beyond about 500
// levels (a YamlError), which keeps the result within MAX_JSON_DEPTH.
Json parse(std::string_view text, const std::string& source = "YAML");

// Reads and parses `path`. A missing or unreadable file, one that is not a regular file, or one
// larger than files::SETTINGS_FILE_LIMIT is a FileError.
Json load_file(const std::filesystem::path& path);

// Block-style YAML for `value` (an object at the top), keys in order, UTF-8 unescaped.
std::string dump(const Json& value);

}  // namespace vendro::yaml
