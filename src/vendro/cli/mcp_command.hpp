#pragma once
// `vendro mcp`: the tool server. Not a command of the table: it serves the table.

#include <CLI/CLI.hpp>

#include "vendro/cli/command_line.hpp"

namespace vendro::cli {

void add_mcp_command(CLI::App& app, Action& selected);

}  // namespace vendro::cli
