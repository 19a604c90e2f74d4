#pragma once
// Every command group's part of the command table, one file each.

#include <vector>

#include "vendro/commands/command_table.hpp"

namespace vendro::commands {

struct Table {
  std::vector<Group> groups;
  std::vector<Command> commands;
};

// "--quiet,-q" of commands that show progress on a terminal; not a tool argument.
Param quiet_param();

void add_browser_commands(Table& table);
void add_keepa_commands(Table& table);
void add_rufus_commands(Table& table);
void add_seller_sprite_commands(Table& table);
void add_shopify_commands(Table& table);
void add_sif_commands(Table& table);
void add_upload_commands(Table& table);
void add_xiyou_commands(Table& table);

}  // namespace vendro::commands
