#include "vendro/cli/groups.hpp"

#include "vendro/core/environment.hpp"
#include "vendro/shared/update_check.hpp"

namespace vendro::cli {

void add_all_groups(CLI::App& app, Action& selected) {
  // In the order of `vendro --help`.
  add_browser_commands(app, selected);
  add_keepa_commands(app, selected);
  add_rufus_commands(app, selected);
  add_seller_sprite_commands(app, selected);
  add_shopify_commands(app, selected);
  add_sif_commands(app, selected);
  add_upload_commands(app, selected);
  add_xiyou_commands(app, selected);
}

void before_command() {
  if (!get_env("VENDRO_NO_UPDATE_CHECK")) shared::check_and_notify();
}

}  // namespace vendro::cli
