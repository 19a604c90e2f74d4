#pragma once
// Every command group of `vendro`, one file each.

#include <CLI/CLI.hpp>

#include "vendro/cli/command.hpp"

namespace vendro::cli {

void add_all_groups(CLI::App& app, Action& selected);

void add_browser_commands(CLI::App& app, Action& selected);

// Runs before every command (not before --help or a usage error).
void before_command();

}  // namespace vendro::cli
