#include "support/stand_in_program.hpp"

#include <pthread.h>

#include <algorithm>
#include <iostream>

#include "support/stand_in_helpers.hpp"

namespace vendro::testing {

int usage_error(const char* usage, const std::string& message) {
  std::cerr << "用法错误：" << message << "\n\n" << usage;
  return 2;
}

std::optional<int> read_options(
    int argc, char** argv, const char* usage, const std::vector<std::string>& options,
    const std::function<std::string(const std::string& option, const std::string& value)>& take) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "-h" || arg == "--help") {
      std::cout << usage;
      return 0;
    }
    if (std::find(options.begin(), options.end(), arg) == options.end()) {
      return usage_error(usage, "无法识别的参数 " + arg);
    }
    if (i + 1 >= args.size()) return usage_error(usage, arg + " 缺少取值");
    std::string problem = take(arg, args[++i]);
    if (!problem.empty()) return usage_error(usage, problem);
  }
  return std::nullopt;
}

std::string read_port(const std::string& value, int& port) {
  return parse_int_in(value, 0, 65535, port) ? "" : "端口必须是 0 到 65535 之间的整数：" + value;
}

sigset_t block_stop_signals() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  return signals;
}

void wait_for_stop_signal(const sigset_t& signals) {
  int signal = 0;
  sigwait(&signals, &signal);
}

}  // namespace vendro::testing
