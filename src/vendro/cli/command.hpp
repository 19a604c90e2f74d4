#pragma once
// The shape every command group of the `vendro` executable follows: a group adds its
// subcommands to the root app, and the callback of the subcommand that was chosen stores the work
// to do in `selected`. The driver runs it after parsing, so usage errors never start any work.

#include <CLI/CLI.hpp>
#include <functional>
#include <optional>
#include <string>

#include "vendro/core/error.hpp"
#include "vendro/core/json.hpp"

namespace vendro::cli {

// The chosen command's work. Returns the JSON printed on stdout, or nothing when the command
// wrote its own output. Throws vendro::Error for failures meant for the operator.
using Action = std::function<std::optional<Json>()>;

// The exit status main() returns once the chosen command's result is printed: 0 unless the
// command sets another (a result that reports incomplete work).
int& result_exit_status();

// A command stopped by SIGINT or SIGTERM after cleaning up; main() exits with 128 + the signal.
class Interrupted : public Error {
 public:
  static constexpr std::string_view CODE = "INTERRUPTED";
  explicit Interrupted(int signal_number)
      : Error("已中断（收到信号 " + std::to_string(signal_number) + "）"),
        signal_number(signal_number) {}
  std::string_view code() const noexcept override { return CODE; }
  const int signal_number;
};

// Reads `value` as a JSON document: inline JSON, "@FILE" for a file's content, or "-" for stdin
// (both at most files::ARGUMENT_FILE_LIMIT). `what` names the option in the Chinese error
// message. Throws JsonError and its kinds (see parse_json) or FileError.
Json read_json_argument(const std::string& value, const std::string& what);

}  // namespace vendro::cli
