#include "vendro/browser/process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#include <sys/syscall.h>
#endif

#include <algorithm>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>

#include "vendro/browser/errors.hpp"

extern char** environ;

namespace vendro::browser {

namespace fs = std::filesystem;

namespace {

// Chromium puts its singleton socket at TMPDIR/org.chromium.Chromium.XXXXXX/SingletonSocket and
// aborts at start when that does not fit a socket address.
std::size_t max_chromium_tmpdir() {
  return sizeof(sockaddr_un{}.sun_path) - 1 - std::strlen("/org.chromium.Chromium.XXXXXX") -
         std::strlen("/SingletonSocket");
}

fs::path chromium_tmpdir(const fs::path& scratch) {
  return scratch / "tmp";
}

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

void set_signal(int signal, void (*handler)(int)) {
  struct sigaction action {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  ::sigaction(signal, &action, nullptr);
}

// Text pointers for execve, kept alive by the strings they point into.
std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (auto& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

// Our environment with TMPDIR replaced: Chromium keeps its singleton socket folder and its
// shared memory files (--disable-dev-shm-usage) there, and cannot remove them when SIGKILLed.
std::vector<std::string> environment_with_tmpdir(const std::string& tmpdir) {
  std::vector<std::string> out;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, "TMPDIR=", 7) != 0) out.emplace_back(*e);
  }
  out.push_back("TMPDIR=" + tmpdir);
  return out;
}

// The guard reads our socket: first the browser's pid, then "k" once we have killed its group
// and "d" once the scratch directory is gone. End of file before "d" means we died (or gave up):
// it kills the group unless told "k", and removes the directory. It ignores the signals a
// terminal or a supervisor sends to us, and lives in its own process group so that a Ctrl-C to
// ours does not reach it first. A shell, so that none of our memory is held for the browser's
// lifetime.
constexpr const char* GUARD_SCRIPT = R"(trap '' HUP INT TERM
dir=$1
IFS= read -r pid || pid=
killed=
while IFS= read -r word; do
  case $word in
    k) killed=1 ;;
    d) exit 0 ;;
  esac
done
case $pid in ''|*[!0-9]*) killed=1 ;; esac
[ -n "$killed" ] || kill -9 "-$pid" 2>/dev/null
n=0
while [ -e "$dir" ] && [ $n -lt 40 ]; do
  rm -rf -- "$dir" 2>/dev/null
  [ -e "$dir" ] && sleep 0.05
  n=$((n + 1))
done
)";

}  // namespace

fs::path make_scratch_dir() {
  fs::path base = fs::temp_directory_path();
  // A deep TMPDIR would leave Chromium no room for its socket; /tmp always has.
  if (chromium_tmpdir(base / "vendro-chromium-XXXXXX").string().size() > max_chromium_tmpdir() &&
      ::access("/tmp", W_OK | X_OK) == 0) {
    base = "/tmp";
  }
  std::string pattern = (base / "vendro-chromium-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw LaunchError("无法创建浏览器临时目录：" + pattern + "（" + std::strerror(errno) + "）");
  }
  return pattern;
}

BrowserProcess::BrowserProcess(asio::any_io_executor executor, Options options)
    : executor_(std::move(executor)), options_(std::move(options)) {
  // From here on the scratch directory is the guard's to remove should we die.
  start_guard();
  int command[2];  // we write [1], the browser reads fd 3
  int reply[2];    // the browser writes fd 4, we read [0]
  if (::pipe2(command, O_CLOEXEC) != 0) {
    remove_scratch();
    throw LaunchError("无法创建浏览器管道");
  }
  if (::pipe2(reply, O_CLOEXEC) != 0) {
    ::close(command[0]);
    ::close(command[1]);
    remove_scratch();
    throw LaunchError("无法创建浏览器管道");
  }
  std::vector<std::string> argv_text;
  argv_text.push_back(options_.executable.string());
  argv_text.insert(argv_text.end(), options_.args.begin(), options_.args.end());
  std::vector<char*> argv = pointers(argv_text);
  std::vector<std::string> env_text;
  // Left alone when it would not fit (a scratch directory made elsewhere): Chromium then uses
  // our TMPDIR and may leave its folder there.
  const fs::path tmp = chromium_tmpdir(options_.scratch_dir);
  if (!options_.scratch_dir.empty() && tmp.string().size() <= max_chromium_tmpdir()) {
    if (::mkdir(tmp.c_str(), 0700) == 0 || errno == EEXIST) {
      env_text = environment_with_tmpdir(tmp.string());
    }
  }
  std::vector<char*> envp = pointers(env_text);
  char** const env = env_text.empty() ? environ : envp.data();
  const std::string log_path = (options_.scratch_dir / "stderr.log").string();
  const pid_t parent = ::getpid();

  pid_ = ::fork();
  if (pid_ < 0) {
    const int error = errno;
    for (int fd : {command[0], command[1], reply[0], reply[1]}) ::close(fd);
    remove_scratch();
    throw LaunchError(std::string("无法启动浏览器进程：") + std::strerror(error));
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
    ::execve(argv[0], argv.data(), env);
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
  tell_guard(std::to_string(pid_));
}

BrowserProcess::~BrowserProcess() {
  kill_now();
  if (command_fd_ >= 0) ::close(command_fd_);
  if (reply_fd_ >= 0) ::close(reply_fd_);
  if (pidfd_ >= 0) ::close(pidfd_);
  remove_scratch();
}

void BrowserProcess::start_guard() {
  if (options_.scratch_dir.empty()) return;
  int channel[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) return;
#ifdef SO_NOSIGPIPE
  const int on = 1;
  ::setsockopt(channel[0], SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on);
#endif
  std::vector<std::string> argv_text = {"/bin/sh", "-c", GUARD_SCRIPT, GUARD_NAME,
                                        options_.scratch_dir.string()};
  std::vector<char*> argv = pointers(argv_text);
  std::vector<std::string> env_text = {"PATH=/usr/bin:/bin"};
  std::vector<char*> envp = pointers(env_text);
  const pid_t guard = ::fork();
  if (guard < 0) {
    ::close(channel[0]);
    ::close(channel[1]);
    return;  // launching without a guard beats not launching
  }
  if (guard == 0) {
    // Only async-signal-safe calls from here on. No parent-death signal: outliving us is the
    // point.
    ::setpgid(0, 0);
    set_signal(SIGHUP, SIG_IGN);
    set_signal(SIGINT, SIG_IGN);
    set_signal(SIGTERM, SIG_IGN);
    set_signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    // Through a high descriptor, so that dup2 always makes a copy without close-on-exec.
    const int channel_end = ::fcntl(channel[1], F_DUPFD_CLOEXEC, 10);
    if (channel_end < 0 || ::dup2(channel_end, 0) < 0) child_fail();
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    // Every other descriptor goes, above all other browsers' pipes and guard sockets: holding
    // them would keep those open after we die.
    close_other_fds(3);
    ::execve(argv[0], argv.data(), envp.data());
    child_fail();
  }
  ::setpgid(guard, guard);
  ::close(channel[1]);
  guard_pid_ = guard;
  guard_fd_ = channel[0];
}

void BrowserProcess::tell_guard(const std::string& line) {
  if (guard_fd_ < 0) return;
  const std::string text = line + "\n";
#ifdef MSG_NOSIGNAL
  const int flags = MSG_NOSIGNAL;  // a guard killed by someone must not take us with it
#else
  const int flags = 0;
#endif
  while (::send(guard_fd_, text.data(), text.size(), flags) < 0 && errno == EINTR) {
  }
}

void BrowserProcess::release_guard() {
  if (guard_fd_ >= 0) ::close(guard_fd_);
  guard_fd_ = -1;
  if (guard_pid_ > 0) {
    // It exits as soon as it reads "d" or the end of the socket.
    int status = 0;
    while (::waitpid(guard_pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  guard_pid_ = -1;
}

int BrowserProcess::take_command_fd() {
  return std::exchange(command_fd_, -1);
}
int BrowserProcess::take_reply_fd() {
  return std::exchange(reply_fd_, -1);
}

void BrowserProcess::note_exit(int status) {
  reaped_ = true;
  if (!exit_description_.empty()) return;
  if (WIFEXITED(status)) {
    exit_description_ = "退出码 " + std::to_string(WEXITSTATUS(status));
  } else if (WIFSIGNALED(status)) {
    exit_description_ = "信号 " + std::to_string(WTERMSIG(status));
  }
}

bool BrowserProcess::try_reap() {
  if (reaped_) return true;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    note_exit(status);
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
    pid_t r;
    while ((r = ::waitpid(pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    if (r == pid_) {
      note_exit(status);
    } else {
      reaped_ = true;
    }
  }
  if (!guard_told_killed_) {
    // Once reaped, the pid may be reused: the guard must not signal that group any more.
    tell_guard("k");
    guard_told_killed_ = true;
  }
}

void BrowserProcess::remove_scratch() {
  if (options_.scratch_dir.empty()) return;
  // A SIGKILLed helper may still finish a write into it for an instant; try a few times.
  std::error_code ec;
  for (int attempt = 0; attempt < 10; ++attempt) {
    ec.clear();
    fs::remove_all(options_.scratch_dir, ec);
    if (!ec && !fs::exists(options_.scratch_dir, ec)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  // Without "d" the guard tries once more itself.
  if (!fs::exists(options_.scratch_dir, ec)) tell_guard("d");
  release_guard();
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
