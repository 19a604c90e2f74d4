#include "vendro/cli/command.hpp"

#include <iostream>
#include <iterator>

#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"

namespace vendro::cli {

int& result_exit_status() {
  static int status = 0;
  return status;
}

Json read_json_argument(const std::string& value, const std::string& what) {
  std::string text;
  if (value == "-") {
    text.assign(std::istreambuf_iterator<char>(std::cin), {});
  } else if (value.starts_with("@")) {
    text = files::read(value.substr(1));
  } else {
    text = value;
  }
  try {
    return Json::parse(text);
  } catch (const Json::parse_error& e) {
    std::throw_with_nested(InputError(what + " 不是有效的 JSON：" + e.what()));
  }
}

}  // namespace vendro::cli
