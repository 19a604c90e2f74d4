#include "vendro/cli/groups.hpp"

namespace vendro::cli {

void add_all_groups(CLI::App& app, Action& selected) {
  (void)app;
  (void)selected;
}

void before_command() {}

}  // namespace vendro::cli
