#include "vendro/core/child_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif
#ifdef __APPLE__
#include <mach-o/dyld.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sstream>
#include <thread>
#include <utility>

#include "vendro/core/environment.hpp"

extern char** environ;

namespace vendro::process {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

// Descendants may keep the output open after the program itself exited; this long, then they
// are killed with the group.
constexpr auto DRAIN_AFTER_EXIT = std::chrono::milliseconds(200);
// Without a pidfd (macOS, old kernels) the exit is noticed by looking this often.
constexpr auto EXIT_POLL = std::chrono::milliseconds(20);

bool is_executable_file(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

bool cloexec_pipe(int fds[2]) {
#ifdef __linux__
  return ::pipe2(fds, O_CLOEXEC) == 0;
#else
  if (::pipe(fds) != 0) return false;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Text pointers for execve, kept alive by the strings they point into.
std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

std::vector<std::string> environment_with(
    const std::map<std::string, std::optional<std::string>>& changes) {
  std::vector<std::string> out;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    if (!changes.contains(std::string(entry.substr(0, entry.find('='))))) out.emplace_back(entry);
  }
  for (const auto& [name, value] : changes) {
    if (value) out.push_back(name + "=" + *value);
  }
  return out;
}

void close_from(int first) {
#ifdef __linux__
  if (::syscall(SYS_close_range, first, ~0U, 0) == 0) return;
#endif
  const long max = ::sysconf(_SC_OPEN_MAX);
  for (long fd = first; fd < (max > 0 ? max : 1024); ++fd) ::close(static_cast<int>(fd));
}

// The child between fork and exec: only async-signal-safe calls. An exec failure is reported as
// its errno through `report`, which exec closes on success.
[[noreturn]] void become_program(const char* program, char* const* argv, char* const* envp, int out,
                                 int err, int report, pid_t parent) {
  ::setpgid(0, 0);
#ifdef __linux__
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  if (::getppid() != parent) ::_exit(127);
#else
  (void)parent;
#endif
  // Through high descriptors first, so that dup2 always makes a copy without close-on-exec.
  const int out_end = ::fcntl(out, F_DUPFD_CLOEXEC, 10);
  const int err_end = ::fcntl(err, F_DUPFD_CLOEXEC, 10);
  const int report_end = ::fcntl(report, F_DUPFD_CLOEXEC, 10);
  const int devnull = ::open("/dev/null", O_RDONLY);  // closed below unless it is fd 0
  if (out_end < 0 || err_end < 0 || report_end < 0 || devnull < 0) ::_exit(127);
  if (::dup2(devnull, 0) < 0 || ::dup2(out_end, 1) < 0 || ::dup2(err_end, 2) < 0 ||
      ::dup2(report_end, 3) < 0) {
    ::_exit(127);
  }
  ::fcntl(3, F_SETFD, FD_CLOEXEC);
  close_from(4);
  // An ignored SIGPIPE survives exec, and a writer must die when nobody reads any more.
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  ::sigaction(SIGPIPE, &action, nullptr);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  ::execve(program, argv, envp);
  const int error = errno;
  while (::write(3, &error, sizeof error) < 0 && errno == EINTR) {
  }
  ::_exit(127);
}

// The last `limit` bytes of one output stream.
class Tail {
 public:
  explicit Tail(std::size_t limit) : limit_(limit) {}

  void append(const char* data, std::size_t size) {
    text_.append(data, size);
    // Cut in batches, so that a flood costs linear time.
    if (text_.size() > 2 * limit_) cut();
  }
  const std::string& text() const { return text_; }

  std::string take(bool& truncated) {
    cut();
    if (truncated_) {
      // Never start inside a UTF-8 sequence.
      std::size_t skip = 0;
      while (skip < 3 && skip < text_.size() &&
             (static_cast<unsigned char>(text_[skip]) & 0xC0) == 0x80) {
        ++skip;
      }
      text_.erase(0, skip);
    }
    truncated = truncated_;
    return std::move(text_);
  }

 private:
  void cut() {
    if (text_.size() <= limit_) return;
    text_.erase(0, text_.size() - limit_);
    truncated_ = true;
  }

  std::size_t limit_;
  std::string text_;
  bool truncated_ = false;
};

// A started program: its group, its two output pipes, and whether it has exited.
class Running {
 public:
  enum class Outcome { ended, deadline, stopped };

  Running(pid_t pid, int out_fd, int err_fd, std::size_t limit)
      : pid_(pid), fds_{out_fd, err_fd}, tails_{Tail(limit), Tail(limit)} {
#ifdef __linux__
    pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
#endif
  }
  ~Running() {
    if (!reaped_) reap();
    close_fd(fds_[0]);
    close_fd(fds_[1]);
    close_fd(pidfd_);
  }
  Running(const Running&) = delete;
  Running& operator=(const Running&) = delete;

  // Reads both streams until the program has exited and they are closed (or drained for a
  // moment), `deadline` passes, or `stop` says so.
  Outcome pump(Clock::time_point deadline, const std::function<bool(const std::string&)>& stop) {
    std::optional<Clock::time_point> drain_until;
    for (;;) {
      if (!exited_) exited_ = leader_exited();
      if (exited_ && fds_[0] < 0 && fds_[1] < 0) return Outcome::ended;
      const auto now = Clock::now();
      if (exited_) {
        if (!drain_until) drain_until = now + DRAIN_AFTER_EXIT;
        if (now >= *drain_until) return Outcome::ended;
      }
      if (now >= deadline) return Outcome::deadline;
      auto until = deadline;
      if (drain_until) until = std::min(until, *drain_until);
      if (!exited_ && pidfd_ < 0) until = std::min(until, now + EXIT_POLL);

      pollfd polled[3];
      int stream_of[3];
      nfds_t count = 0;
      for (int i = 0; i < 2; ++i) {
        if (fds_[i] < 0) continue;
        polled[count] = {fds_[i], POLLIN, 0};
        stream_of[count++] = i;
      }
      if (!exited_ && pidfd_ >= 0) {
        polled[count] = {pidfd_, POLLIN, 0};
        stream_of[count++] = -1;  // readable once the program has exited
      }
      const auto wait = std::chrono::ceil<std::chrono::milliseconds>(until - now).count();
      const int ready =
          ::poll(polled, count, static_cast<int>(std::clamp<long long>(wait, 0, 60000)));
      if (ready < 0) {
        if (errno != EINTR) std::this_thread::sleep_for(EXIT_POLL);
        continue;
      }
      for (nfds_t i = 0; i < count; ++i) {
        if (polled[i].revents == 0 || stream_of[i] < 0) continue;
        read_some(stream_of[i]);
        if (stream_of[i] == 0 && stop && stop(tails_[0].text())) return Outcome::stopped;
      }
    }
  }

  void signal_group(int signal_number) {
    // Not reaped yet, so the group id cannot have been reused.
    if (!reaped_) ::kill(-pid_, signal_number);
  }

  // Kills whatever is left in the group, reaps the program and hands over what it wrote.
  RunResult finish() {
    RunResult result;
    const int status = reap();
    if (status >= 0 && WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
    if (status >= 0 && WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    result.out = tails_[0].take(result.out_truncated);
    result.err = tails_[1].take(result.err_truncated);
    return result;
  }

 private:
  bool leader_exited() {
    siginfo_t info{};
    info.si_pid = 0;
    while (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) < 0) {
      if (errno != EINTR) return true;  // reaped by someone else: gone all the same
    }
    return info.si_pid == pid_;
  }

  void read_some(int stream) {
    char buffer[65536];
    const ssize_t n = ::read(fds_[stream], buffer, sizeof buffer);
    if (n > 0) {
      tails_[stream].append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      close_fd(fds_[stream]);
    }
  }

  // The wait status, or -1 when it is not ours to know.
  int reap() {
    signal_group(SIGKILL);
    reaped_ = true;
    int status = 0;
    pid_t r;
    while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    return r == pid_ ? status : -1;
  }

  pid_t pid_;
  int fds_[2];
  Tail tails_[2];
  int pidfd_ = -1;
  bool exited_ = false;
  bool reaped_ = false;
};

}  // namespace

std::string RunResult::describe() const {
  if (timed_out) return "超时后被终止";
  if (exit_code) return "退出码 " + std::to_string(*exit_code);
  if (signal) return "被信号 " + std::to_string(*signal) + " 终止";
  return "结束状态未知";
}

RunResult run(const RunOptions& options) {
  if (options.argv.empty() || options.argv[0].empty()) {
    throw ProcessStartError("没有指定要运行的程序");
  }
  const std::string& name = options.argv[0];
  const std::optional<fs::path> program = find_program(name);
  if (!program) {
    throw ProcessStartError(
        "找不到程序「" + name + "」" +
        (name.find('/') == std::string::npos ? "（PATH 中没有）" : "（文件不存在或不可执行）"));
  }
  const std::string program_text = program->string();
  std::vector<std::string> argv_text = options.argv;
  const std::vector<char*> argv = pointers(argv_text);
  std::vector<std::string> env_text = environment_with(options.env);
  const std::vector<char*> envp = pointers(env_text);

  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  int report[2] = {-1, -1};
  auto close_all = [&] {
    for (int* pair : {out, err, report}) {
      close_fd(pair[0]);
      close_fd(pair[1]);
    }
  };
  if (!cloexec_pipe(out) || !cloexec_pipe(err) || !cloexec_pipe(report)) {
    const int error = errno;
    close_all();
    throw ProcessStartError("无法启动程序「" + name + "」：" + std::strerror(error));
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int error = errno;
    close_all();
    throw ProcessStartError("无法启动程序「" + name + "」：" + std::strerror(error));
  }
  if (pid == 0) {
    become_program(program_text.c_str(), argv.data(), envp.data(), out[1], err[1], report[1],
                   parent);
  }
  ::setpgid(pid, pid);  // also here, so the group exists before we might signal it
  close_fd(out[1]);
  close_fd(err[1]);
  close_fd(report[1]);
  Running running(pid, std::exchange(out[0], -1), std::exchange(err[0], -1), options.output_limit);

  // End of file here means exec succeeded; an errno means it did not.
  int exec_error = 0;
  ssize_t got;
  while ((got = ::read(report[0], &exec_error, sizeof exec_error)) < 0 && errno == EINTR) {
  }
  close_fd(report[0]);
  if (got == static_cast<ssize_t>(sizeof exec_error)) {
    throw ProcessStartError("无法启动程序「" + name + "」：" + std::strerror(exec_error));
  }

  const auto deadline = Clock::now() + options.timeout;
  const Running::Outcome outcome = running.pump(deadline, options.stop_when);
  if (outcome == Running::Outcome::deadline && options.grace.count() > 0) {
    running.signal_group(SIGTERM);
    running.pump(Clock::now() + options.grace, nullptr);
  }
  RunResult result = running.finish();
  result.timed_out = outcome == Running::Outcome::deadline;
  return result;
}

fs::path current_executable() {
#if defined(__linux__)
  std::error_code ec;
  fs::path path = fs::read_symlink("/proc/self/exe", ec);
  if (ec) throw ProcessStartError("无法确定当前程序的路径：" + ec.message());
  // The kernel marks a file replaced since we started; its successor sits at the same path.
  constexpr std::string_view DELETED = " (deleted)";
  const std::string text = path.string();
  if (text.ends_with(DELETED) && !fs::exists(path, ec)) {
    path = text.substr(0, text.size() - DELETED.size());
  }
  return path;
#elif defined(__APPLE__)
  std::uint32_t size = 0;
  ::_NSGetExecutablePath(nullptr, &size);
  std::string buffer(size, '\0');
  if (::_NSGetExecutablePath(buffer.data(), &size) != 0) {
    throw ProcessStartError("无法确定当前程序的路径");
  }
  buffer.resize(std::strlen(buffer.c_str()));
  std::error_code ec;
  fs::path resolved = fs::canonical(buffer, ec);
  return ec ? fs::path(buffer) : resolved;
#else
  throw ProcessStartError("无法确定当前程序的路径：此系统不受支持");
#endif
}

std::optional<fs::path> find_program(std::string_view name) {
  if (name.empty()) return std::nullopt;
  if (name.find('/') != std::string_view::npos) {
    if (is_executable_file(fs::path(name))) return fs::path(name);
    return std::nullopt;
  }
  const std::optional<std::string> path = get_env("PATH");
  if (!path) return std::nullopt;
  std::stringstream in(*path);
  for (std::string dir; std::getline(in, dir, ':');) {
    if (dir.empty()) continue;
    fs::path candidate = fs::path(dir) / name;
    if (is_executable_file(candidate)) return candidate;
  }
  return std::nullopt;
}

}  // namespace vendro::process
