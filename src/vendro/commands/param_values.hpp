#pragma once
// Turning what a caller typed or sent into the typed values of a command's params, with the same
// checks on both fronts: the command line hands over texts, the tool server JSON values.

#include <string>

#include "vendro/commands/command_table.hpp"

namespace vendro::commands {

// The Chinese reason `text` is refused as a value of `param` (one value of a repeatable option),
// or "" when it is fine. json_object values are read later, by json_object_value.
std::string text_error(const Param& param, const std::string& text);

// `text`, which text_error accepted, as the value of `param` (text, integer, seconds, or one
// string of a text_list).
Json text_value(const Param& param, const std::string& text);

// A json_object value from the command line: inline JSON, "@FILE" for a file's content, "-" for
// standard input. Throws JsonError, FileError, or InputError when it is not an object.
Json json_object_value(const Param& param, const std::string& text);

// Sets the default of every param of `command` that has one.
void fill_defaults(const Command& command, Arguments& arguments);

// The command's arguments from a tool call's argument object (names with "_"). Refuses unknown
// names, values of the wrong type, missing required params, params that exclude each other and
// values the checks refuse, with an InputError naming the argument; cli_only params are unknown
// here. Numbers and booleans sent for text params are taken as their JSON text.
Arguments tool_arguments(const Command& command, const Json& arguments);

// The JSON Schema of a command's tool arguments (an object schema, Chinese descriptions).
Json input_schema(const Command& command);

}  // namespace vendro::commands
