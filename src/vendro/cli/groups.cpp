#include "vendro/cli/groups.hpp"

namespace vendro::cli {

void add_all_groups(CLI::App& app, Action& selected) {
  add_upload_commands(app, selected);
  add_xiyou_commands(app, selected);
}

void before_command() {}

}  // namespace vendro::cli
