#include "vendro/browser/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <asio/posix/stream_descriptor.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "vendro/browser/errors.hpp"

namespace vendro::browser {

namespace fs = std::filesystem;

fs::path make_scratch_dir() {
  std::string pattern = (fs::temp_directory_path() / "vendro-chromium-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw LaunchError("无法创建浏览器临时目录：" + pattern + "（" + std::strerror(errno) + "）");
  }
  return pattern;
}

namespace {

[[noreturn]] void child_fail() {
  ::_exit(127);
}

void close_other_fds(int from) {
#ifdef __linux__
  if (::syscall(SYS_close_range, from, ~0U, 0) == 0) return;
#endif
  long max = ::sysconf(_SC_OPEN_MAX);
  for (long fd = from; fd < (max > 0 ? max : 1024); ++fd) ::close(static_cast<int>(fd));
}

}  // namespace

BrowserProcess::BrowserProcess(asio::any_io_executor executor, Options options)
    : executor_(std::move(executor)), options_(std::move(options)) {
  int command[2];  // we write [1], the browser reads fd 3
  int reply[2];    // the browser writes fd 4, we read [0]
  if (::pipe2(command, O_CLOEXEC) != 0) throw LaunchError("无法创建浏览器管道");
  if (::pipe2(reply, O_CLOEXEC) != 0) {
    ::close(command[0]);
    ::close(command[1]);
    throw LaunchError("无法创建浏览器管道");
  }
  std::vector<std::string> argv_text;
  argv_text.push_back(options_.executable.string());
  argv_text.insert(argv_text.end(), options_.args.begin(), options_.args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string log_path = (options_.scratch_dir / "stderr.log").string();
  const pid_t parent = ::getpid();

  pid_ = ::fork();
  if (pid_ < 0) {
    for (int fd : {command[0], command[1], reply[0], reply[1]}) ::close(fd);
    throw LaunchError(std::string("无法启动浏览器进程：") + std::strerror(errno));
  }
  if (pid_ == 0) {
    // Only async-signal-safe calls from here on.
    ::setpgid(0, 0);
#ifdef __linux__
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) child_fail();
#endif
    int in = ::fcntl(command[0], F_DUPFD_CLOEXEC, 10);
    int out = ::fcntl(reply[1], F_DUPFD_CLOEXEC, 10);
    if (in < 0 || out < 0) child_fail();
    if (::dup2(in, 3) < 0 || ::dup2(out, 4) < 0) child_fail();
    int devnull = ::open("/dev/null", O_RDWR);
    int log = ::open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
    }
    ::dup2(log >= 0 ? log : devnull, 2);
    close_other_fds(5);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execv(argv[0], argv.data());
    child_fail();
  }
  (void)parent;
  ::setpgid(pid_, pid_);  // also here, so the group exists before we might signal it
  ::close(command[0]);
  ::close(reply[1]);
  command_fd_ = command[1];
  reply_fd_ = reply[0];
#ifdef __linux__
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
#endif
}

BrowserProcess::~BrowserProcess() {
  kill_now();
  if (command_fd_ >= 0) ::close(command_fd_);
  if (reply_fd_ >= 0) ::close(reply_fd_);
  if (pidfd_ >= 0) ::close(pidfd_);
  remove_scratch();
}

int BrowserProcess::take_command_fd() {
  return std::exchange(command_fd_, -1);
}
int BrowserProcess::take_reply_fd() {
  return std::exchange(reply_fd_, -1);
}

bool BrowserProcess::try_reap() {
  if (reaped_) return true;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    reaped_ = true;
    if (WIFEXITED(status)) {
      exit_description_ = "退出码 " + std::to_string(WEXITSTATUS(status));
    } else if (WIFSIGNALED(status)) {
      exit_description_ = "信号 " + std::to_string(WTERMSIG(status));
    }
    return true;
  }
  if (r < 0 && errno == ECHILD) {  // someone else reaped it
    reaped_ = true;
    return true;
  }
  return false;
}

asio::awaitable<bool> BrowserProcess::wait_exit(std::chrono::milliseconds limit) {
  if (try_reap()) co_return true;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  asio::steady_timer timer(executor_);
  if (pidfd_ >= 0) {
    // The pidfd becomes readable when the process exits: no polling.
    auto exit_watch = std::make_shared<asio::posix::stream_descriptor>(executor_, ::dup(pidfd_));
    timer.expires_at(deadline);
    timer.async_wait([exit_watch](std::error_code ec) {
      if (!ec) exit_watch->cancel();
    });
    std::error_code ec;
    co_await exit_watch->async_wait(asio::posix::stream_descriptor::wait_read,
                                    asio::redirect_error(asio::use_awaitable, ec));
    timer.cancel();
    co_return try_reap();
  }
  // Without pidfd (macOS), look every few milliseconds; only the close path uses this.
  while (std::chrono::steady_clock::now() < deadline) {
    timer.expires_after(std::chrono::milliseconds(20));
    std::error_code ec;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    if (try_reap()) co_return true;
  }
  co_return try_reap();
}

asio::awaitable<void> BrowserProcess::shutdown(std::chrono::milliseconds grace) {
  co_await wait_exit(grace);
  kill_now();
  remove_scratch();
}

void BrowserProcess::kill_now() {
  if (pid_ <= 0) return;
  // Renderers and helpers share the group; they go too, even after the browser itself ended.
  ::kill(-pid_, SIGKILL);
  if (!reaped_) {
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    if (exit_description_.empty()) {
      if (WIFEXITED(status)) exit_description_ = "退出码 " + std::to_string(WEXITSTATUS(status));
      if (WIFSIGNALED(status)) exit_description_ = "信号 " + std::to_string(WTERMSIG(status));
    }
  }
}

void BrowserProcess::remove_scratch() {
  if (options_.scratch_dir.empty()) return;
  std::error_code ec;
  fs::remove_all(options_.scratch_dir, ec);
  if (ec) {  // a helper may still be writing into it for an instant; try once more
    fs::remove_all(options_.scratch_dir, ec);
  }
  options_.scratch_dir.clear();
}

std::string BrowserProcess::stderr_tail() const {
  if (options_.scratch_dir.empty()) return {};
  std::ifstream in(options_.scratch_dir / "stderr.log", std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  constexpr std::size_t MAX_TAIL = 2000;
  if (text.size() > MAX_TAIL) text = text.substr(text.size() - MAX_TAIL);
  return text;
}

}  // namespace vendro::browser
