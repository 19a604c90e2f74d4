#pragma once
// Runs the built `vendro` executable as a child process and captures what it prints.

#include <map>
#include <optional>
#include <string>
#include <thread>
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

// A `vendro` started in the background, for tests that signal it or act while it runs. Its
// output is collected on threads; finish() waits for it. The destructor kills a child that was
// never finished.
class CliProcess {
 public:
  explicit CliProcess(const CliRun& run);
  ~CliProcess();
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;
  int pid() const { return pid_; }
  // Waits for the exit and returns what it printed.
  CliResult finish();

 private:
  int pid_ = -1;
  bool finished_ = false;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  std::thread feeder_;
  std::thread out_reader_;
  std::thread err_reader_;
};

}  // namespace vendro::testing
