#include "vendro/cli/groups.hpp"

namespace vendro::cli {

void add_all_groups(CLI::App& app, Action& selected) {
  add_browser_commands(app, selected);
}

void before_command() {}

}  // namespace vendro::cli
