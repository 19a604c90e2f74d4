#pragma once
// Runs the built `vendro` executable as a child process and captures what it prints.

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vendro::testing {

struct CliResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

struct CliRun {
  std::vector<std::string> args;
  std::string stdin_text;
  // When set, stdin is this file (a regular file, as with `< FILE`) and stdin_text is unused.
  std::string stdin_file;
  // Extra environment; a nullopt value removes the variable. VENDRO_NO_UPDATE_CHECK=1 is set
  // unless overridden here.
  std::map<std::string, std::optional<std::string>> env;
};

CliResult run_vendro(const CliRun& run);

}  // namespace vendro::testing
