#pragma once
// The command line of `vendro`, built from the command table: one CLI11 subcommand per group and
// command, one option per param, with the table's Chinese help. Parsing checks every value the
// way the tool server does; the chosen command's work is stored in `selected` and runs after
// parsing, so usage errors never start any work.

#include <CLI/CLI.hpp>
#include <functional>

namespace vendro::cli {

// The chosen command's work: runs it with standard output as its sink and returns the process's
// exit status. Throws vendro::Error for failures meant for the operator.
using Action = std::function<int()>;

// Adds every group and command of the table below `app`.
void add_table_commands(CLI::App& app, Action& selected);

// Runs before every command (not before --help or a usage error): the update check, unless
// VENDRO_NO_UPDATE_CHECK is set.
void before_command();

}  // namespace vendro::cli
