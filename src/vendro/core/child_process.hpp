#pragma once
// Running another program and waiting for it: no shell, standard input from /dev/null, its
// standard output and error captured as text, a process group of its own that is killed whole
// when time runs out, and nothing of it left running once the call returns.

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vendro/core/error.hpp"

namespace vendro::process {

// The program could not be started at all: not found, not executable, no resources left.
VENDRO_DEFINE_ERROR(ProcessStartError, Error, "PROCESS_START_ERROR");

// How much of each of the two streams a run keeps: the last 256 KiB.
inline constexpr std::size_t OUTPUT_LIMIT = 256 * 1024;

struct RunOptions {
  // The program and its arguments. argv[0] is a path, or a bare name looked up on PATH; it is
  // passed to the program as given.
  std::vector<std::string> argv;
  // Changes to our own environment for the program: a value sets the variable, nullopt removes it.
  std::map<std::string, std::optional<std::string>> env;
  // How long the program may run.
  std::chrono::milliseconds timeout{0};
  // Once the time is up the group gets SIGTERM, and SIGKILL after this long at most. Zero sends
  // SIGKILL at once.
  std::chrono::milliseconds grace = std::chrono::seconds(2);
  // How much of each stream is kept (its end); see RunResult::out_truncated.
  std::size_t output_limit = OUTPUT_LIMIT;
  // When set, called with the standard output so far after each piece arrives; true ends the run
  // there: the group is killed with SIGKILL and the result is not counted as timed out.
  std::function<bool(const std::string& out)> stop_when;
};

struct RunResult {
  std::optional<int> exit_code;  // set when the program exited
  std::optional<int> signal;     // set when a signal ended it (ours, at the bound, included)
  std::string out;               // standard output, its last output_limit bytes at most
  std::string err;               // standard error, likewise
  // True when the beginning of the stream was dropped to stay within output_limit. What is kept
  // starts at a character boundary.
  bool out_truncated = false;
  bool err_truncated = false;
  bool timed_out = false;

  // Exited on its own with status 0.
  bool succeeded() const { return !timed_out && exit_code == 0; }
  // How it ended, in Chinese: "退出码 1", "被信号 9 终止", "超时后被终止".
  std::string describe() const;
};

// Starts `options.argv` in a new process group (on Linux it is also killed should the calling
// thread die first), with standard input from /dev/null and both output streams read into
// memory, and waits until it exits or the timeout passes. On expiry the whole group gets SIGTERM,
// then SIGKILL after the grace, and the result says timed_out. Whatever the program left running
// in its group is killed when it ends; a process that put itself into another group is not ours
// to kill. The program is always reaped before the call returns.
// Throws ProcessStartError when the program cannot be found or started (the message names it);
// every other outcome, a non-zero exit included, is in the result. Blocks for at most the
// timeout plus the grace plus a moment for descendants holding the output open.
// Safe to call from several threads at once; it does not touch SIGCHLD.
RunResult run(const RunOptions& options);

// The executable of the running program itself (Linux: /proc/self/exe, macOS:
// _NSGetExecutablePath). When that file was replaced since we started (an upgrade), the path of
// the one now in its place. Throws ProcessStartError when the system cannot say.
std::filesystem::path current_executable();

// The first regular, executable file called `name` in the directories of PATH (empty entries
// skipped), or nothing. A name that contains "/" is taken as a path and only checked.
std::optional<std::filesystem::path> find_program(std::string_view name);

}  // namespace vendro::process
