#pragma once
// The terminal front of the command table: results on standard output, notices and progress on
// standard error, secrets read from files or standard input.

#include <cstddef>
#include <string>

#include "vendro/commands/command_table.hpp"

namespace vendro::cli {

// Standard output as a command's sink: a whole result is printed as indented JSON and a line
// break; streamed JSON text is written as it comes. A command that needs to take back what it
// wrote (a conversion failing halfway) writes to file_descriptor() itself. Throws FileError when
// standard output cannot be written.
class StdoutSink final : public commands::OutputSink {
 public:
  void put(const Json& result) override;
  void write(std::string_view json_text) override;
  bool can_rewind() const override { return false; }
  void rewind() override {}
  int file_descriptor() const override;
};

// The largest secret read from a file or standard input (a cookie header, a password).
inline constexpr std::size_t SECRET_LIMIT = 256 * 1024;

// One line from standard input, prompted on standard error and without echo when standard input
// is a terminal. `what` names the secret ("卖家精灵密码"). Throws InputError when standard input is
// closed.
std::string read_secret_line(const std::string& what);

// A secret from standard input ("-") or from a file, whole, at most SECRET_LIMIT bytes.
std::string read_secret(const std::string& file_or_dash);

}  // namespace vendro::cli
