#pragma once
// Every command group of `vendro`, one file each.

#include <CLI/CLI.hpp>

#include "vendro/cli/command.hpp"

namespace vendro::cli {

void add_all_groups(CLI::App& app, Action& selected);

void add_browser_commands(CLI::App& app, Action& selected);
void add_keepa_commands(CLI::App& app, Action& selected);
void add_rufus_commands(CLI::App& app, Action& selected);
void add_seller_sprite_commands(CLI::App& app, Action& selected);
void add_shopify_commands(CLI::App& app, Action& selected);
void add_sif_commands(CLI::App& app, Action& selected);
void add_upload_commands(CLI::App& app, Action& selected);
void add_xiyou_commands(CLI::App& app, Action& selected);

// Runs before every command (not before --help or a usage error): the update check, unless
// VENDRO_NO_UPDATE_CHECK is set.
void before_command();

}  // namespace vendro::cli
