#include "vendro/cli/command.hpp"

#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"

namespace vendro::cli {

int& result_exit_status() {
  static int status = 0;
  return status;
}

Json read_json_argument(const std::string& value, const std::string& what) {
  if (value == "-") return parse_json(files::read_stdin(files::ARGUMENT_FILE_LIMIT), what);
  if (value.starts_with("@")) {
    return parse_json(files::read(value.substr(1), files::ARGUMENT_FILE_LIMIT), what);
  }
  return parse_json(value, what);
}

}  // namespace vendro::cli
