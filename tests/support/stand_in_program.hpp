#pragma once
// The frame the stand-in site programs share: a command line of "--option VALUE" pairs with
// -h/--help and usage errors, and running until SIGINT or SIGTERM.

#include <csignal>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vendro::testing {

// Prints "用法错误：" with `message`, then `usage`, on stderr; returns the exit status 2.
int usage_error(const char* usage, const std::string& message);

// Reads the arguments of `argv`: each of `options` takes one value, handed to
// `take(option, value)`, which returns "" or the problem (in Chinese) as a usage error. -h and
// --help print `usage` on stdout. Returns the exit status to end with at once (0 after the help,
// 2 after a usage error), or nothing when the program goes on.
std::optional<int> read_options(
    int argc, char** argv, const char* usage, const std::vector<std::string>& options,
    const std::function<std::string(const std::string& option, const std::string& value)>& take);

// Reads a --port value (0 to 65535; 0 picks a free port) into `port`; returns "" or the problem.
std::string read_port(const std::string& value, int& port);

// Blocks SIGINT and SIGTERM in the calling thread, and so in every thread it starts later (the
// server's): call it before the site starts. The signals are then taken by
// wait_for_stop_signal(), never by a handler.
sigset_t block_stop_signals();
void wait_for_stop_signal(const sigset_t& signals);

}  // namespace vendro::testing
