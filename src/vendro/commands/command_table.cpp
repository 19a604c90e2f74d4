#include "vendro/commands/command_table.hpp"

#include "vendro/commands/groups.hpp"

namespace vendro::commands {

namespace {

const Table& table() {
  static const Table whole = [] {
    Table built;
    // In the order of `vendro --help`.
    add_browser_commands(built);
    add_keepa_commands(built);
    add_rufus_commands(built);
    add_seller_sprite_commands(built);
    add_shopify_commands(built);
    add_sif_commands(built);
    add_upload_commands(built);
    add_xiyou_commands(built);
    return built;
  }();
  return whole;
}

}  // namespace

Param quiet_param() {
  return {.name = "quiet",
          .type = ParamType::flag,
          .help = "不在终端显示进度",
          .short_name = "-q",
          .cli_only = true};
}

const std::vector<Group>& command_groups() {
  return table().groups;
}

const std::vector<Command>& command_table() {
  return table().commands;
}

}  // namespace vendro::commands
