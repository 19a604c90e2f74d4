#pragma once
// The shape every command group of the `vendro` executable follows: a group adds its
// subcommands to the root app, and the callback of the subcommand that was chosen stores the work
// to do in `selected`. The driver runs it after parsing, so usage errors never start any work.

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>

#include "vendro/core/json.hpp"

namespace vendro::cli {

// The chosen command's work. Returns the JSON printed on stdout, or nothing when the command
// wrote its own output. Throws vendro::Error for failures meant for the operator.
using Action = std::function<std::optional<Json>()>;

// Reads `value` as a JSON document: inline JSON, "@FILE" for a file's content, or "-" for stdin
// (both at most files::ARGUMENT_FILE_LIMIT). `what` names the option in the Chinese error
// message. Throws JsonError and its kinds (see parse_json) or FileError.
Json read_json_argument(const std::string& value, const std::string& what);

}  // namespace vendro::cli
