#include "support/cli_runner.hpp"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace vendro::testing {

namespace {

std::string drain(int fd) {
  std::string text;
  char buf[65536];
  for (;;) {
    auto n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return text;
}

}  // namespace

CliProcess::CliProcess(const CliRun& run) {
  // A child that exits before reading its stdin must not kill the test with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  std::map<std::string, std::optional<std::string>> env_changes = {{"VENDRO_NO_UPDATE_CHECK", "1"}};
  for (const auto& [k, v] : run.env) env_changes[k] = v;
  std::vector<std::string> env_strings;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    std::string name = entry.substr(0, entry.find('='));
    if (!env_changes.count(name)) env_strings.push_back(entry);
  }
  for (const auto& [k, v] : env_changes) {
    if (v) env_strings.push_back(k + "=" + *v);
  }
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_strings = {VENDRO_EXECUTABLE};
  argv_strings.insert(argv_strings.end(), run.args.begin(), run.args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (::pipe2(in_pipe, O_CLOEXEC) || ::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC)) {
    throw std::runtime_error("pipe failed");
  }
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    const int in = run.stdin_file.empty() ? in_pipe[0] : ::open(run.stdin_file.c_str(), O_RDONLY);
    if (in < 0) ::_exit(127);
    ::dup2(in, 0);
    ::dup2(out_pipe[1], 1);
    ::dup2(err_pipe[1], 2);
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  feeder_ = std::thread([fd = in_pipe[1], text = run.stdin_text] {
    for (std::size_t done = 0; done < text.size();) {
      auto n = ::write(fd, text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  out_reader_ = std::thread([this, fd = out_pipe[0]] { out_ = drain(fd); });
  err_reader_ = std::thread([this, fd = err_pipe[0]] { err_ = drain(fd); });
}

CliProcess::~CliProcess() {
  if (!finished_) {
    ::kill(pid_, SIGKILL);
    finish();
  }
}

CliResult CliProcess::finish() {
  CliResult result;
  if (finished_) return result;
  finished_ = true;
  out_reader_.join();
  err_reader_.join();
  feeder_.join();
  int status = 0;
  ::waitpid(pid_, &status, 0);
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.out = std::move(out_);
  result.err = std::move(err_);
  return result;
}

CliResult run_vendro(const CliRun& run) {
  return CliProcess(run).finish();
}

}  // namespace vendro::testing
