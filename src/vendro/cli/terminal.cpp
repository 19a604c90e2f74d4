#include "vendro/cli/terminal.hpp"

#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "vendro/core/environment.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"

namespace vendro::cli {

void StdoutSink::put(const Json& result) {
  std::cout << to_pretty_json(result) << "\n";
  std::cout.flush();
  if (!std::cout) throw FileError("无法写出结果到标准输出");
}

void StdoutSink::write(std::string_view json_text) {
  std::cout.flush();
  while (!json_text.empty()) {
    const ssize_t n = ::write(STDOUT_FILENO, json_text.data(), json_text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw FileError("无法写出结果到标准输出");
    json_text.remove_prefix(static_cast<std::size_t>(n));
  }
}

int StdoutSink::file_descriptor() const {
  return STDOUT_FILENO;
}

std::string read_secret_line(const std::string& what) {
  const bool terminal = ::isatty(STDIN_FILENO);
  termios saved{};
  if (terminal) {
    std::cerr << "请输入" << what << "（输入时不显示）：" << std::flush;
    ::tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool got = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
  }
  if (!got) throw InputError("未能从标准输入读到" + what + "（标准输入已关闭）");
  if (line.size() > SECRET_LIMIT) throw InputError(what + "过长");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

std::string read_secret(const std::string& file_or_dash) {
  if (file_or_dash == "-") return files::read_stdin(SECRET_LIMIT);
  return files::read(expand_home(file_or_dash), SECRET_LIMIT);
}

}  // namespace vendro::cli
