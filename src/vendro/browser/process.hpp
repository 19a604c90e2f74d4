#pragma once
// The Chromium process: started in its own process group with the DevTools pipe on fds 3 and 4,
// killed with its parent on Linux, stopped politely or by force, reaped, and its scratch
// directory removed. Chromium's own temporary files (TMPDIR) live inside that scratch directory,
// and a small guard process removes it and kills the browser's group when we die without doing
// so ourselves (crash, SIGKILL, a signal's default action). Owned by one Browser; used on that
// browser's io_context only.

#include <sys/types.h>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace vendro::browser {

class BrowserProcess {
 public:
  struct Options {
    std::filesystem::path executable;
    std::vector<std::string> args;
    // A scratch directory this process owns (stderr log, Chromium's TMPDIR, a temporary
    // profile); removed when the process is gone, by the guard when we could not.
    std::filesystem::path scratch_dir;
  };

  // Starts the guard, then the browser. Throws LaunchError when the browser cannot be started at
  // all; the scratch directory is removed then too.
  BrowserProcess(asio::any_io_executor executor, Options options);
  // Kills the whole process group if it still runs, reaps the browser, removes the scratch
  // directory and lets the guard go. Blocks only for the moments a SIGKILLed process needs to go.
  ~BrowserProcess();
  BrowserProcess(const BrowserProcess&) = delete;
  BrowserProcess& operator=(const BrowserProcess&) = delete;

  // Our ends of the DevTools pipe; ownership passes to the caller (once).
  int take_command_fd();
  int take_reply_fd();
  pid_t pid() const { return pid_; }
  // The guard process, or -1 when it has been released (or could not be started).
  pid_t guard_pid() const { return guard_pid_; }

  // Waits at most `limit` for the browser to exit on its own; true when it has.
  asio::awaitable<bool> wait_exit(std::chrono::milliseconds limit);
  // Waits up to `grace` for a polite exit, then kills the group, reaps and cleans up.
  asio::awaitable<void> shutdown(std::chrono::milliseconds grace);
  // Kills the group at once and reaps (blocking, brief). Idempotent.
  void kill_now();
  // The last lines the browser wrote to stderr, for launch errors.
  std::string stderr_tail() const;
  // The exit status description once reaped ("退出码 1", "信号 9"), else empty.
  std::string exit_description() const { return exit_description_; }

 private:
  bool try_reap();
  void note_exit(int status);
  void remove_scratch();
  void start_guard();
  void tell_guard(const std::string& line);
  void release_guard();

  asio::any_io_executor executor_;
  Options options_;
  pid_t pid_ = -1;
  int command_fd_ = -1;
  int reply_fd_ = -1;
  int pidfd_ = -1;
  bool reaped_ = false;
  bool guard_told_killed_ = false;
  pid_t guard_pid_ = -1;
  int guard_fd_ = -1;
  std::string exit_description_;
};

// Creates a fresh scratch directory under the system temporary directory.
std::filesystem::path make_scratch_dir();

// The name a guard process carries on its command line, for whoever looks for leftovers.
inline constexpr const char* GUARD_NAME = "vendro-browser-guard";

}  // namespace vendro::browser
