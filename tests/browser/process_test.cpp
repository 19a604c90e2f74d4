// The browser process: finding the executable, its switches and proxy, the version probe,
// profile locks, and that no browser process, guard or temporary file outlives its owner,
// whatever way the owner ends.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include "browser/process_scan.hpp"
#include "support/local_server.hpp"
#include "support/temp_dir.hpp"
#include "vendro/browser/blocking.hpp"
#include "vendro/browser/browser.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/executable.hpp"
#include "vendro/browser/process.hpp"

extern char** environ;

namespace vendro::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using namespace vendro::browser;

template <class T>
T run(asio::io_context& io, asio::awaitable<T> operation) {
  return run_blocking(io, std::move(operation));
}

std::string user_data_dir_of(pid_t pid) {
  for (const auto& p : live_processes()) {
    if (p.pid != pid) continue;
    const auto at = p.command_line.find("--user-data-dir=");
    if (at == std::string::npos) return {};
    const auto end = p.command_line.find(' ', at);
    return p.command_line.substr(at + 16, end - at - 16);
  }
  return {};
}

// Waits (up to `limit`) until no live process is in `group` or mentions `text`.
bool all_gone(pid_t group, const std::string& text, std::chrono::milliseconds limit = 5000ms) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!live_processes_of(group, text).empty()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

pid_t dead_pid() {
  pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  int status = 0;
  ::waitpid(child, &status, 0);
  return child;
}

std::string host_name() {
  char buf[256] = {};
  ::gethostname(buf, sizeof buf - 1);
  return buf;
}

// Forks two sleeping children, notes every pid, and waits for them.
constexpr const char* FORKING_HANG =
    "echo $$ >> \"$PIDS\"\n"
    "sleep 300 & echo $! >> \"$PIDS\"\n"
    "sleep 300 & echo $! >> \"$PIDS\"\n";

TEST(ExecutableTest, MissingExecutableNamesEveryPathTried) {
  {
    ScopedEnv chromium("VENDRO_CHROMIUM", "/nonexistent/chromium-binary");
    try {
      find_executable();
      FAIL();
    } catch (const LaunchError& e) {
      EXPECT_NE(std::string(e.what()).find("Executable doesn't exist"), std::string::npos);
      EXPECT_NE(std::string(e.what()).find("/nonexistent/chromium-binary"), std::string::npos);
    }
    asio::io_context io;
    EXPECT_THROW(run(io, launch()), LaunchError);
  }
  ScopedEnv chromium("VENDRO_CHROMIUM", std::nullopt);
  ScopedEnv path("PATH", "/nonexistent-dir");
  try {
    find_executable();
    FAIL() << "nothing is on PATH";
  } catch (const LaunchError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("Executable doesn't exist"), std::string::npos);
    EXPECT_NE(text.find("google-chrome"), std::string::npos) << text;
    EXPECT_NE(text.find("/Applications/Google Chrome.app/Contents/MacOS/Google Chrome"),
              std::string::npos)
        << text;
  }
}

TEST(ExecutableTest, DebianWrapperIsReplacedByTheRealBinary) {
  if (!fs::exists("/usr/lib/chromium/chromium")) GTEST_SKIP() << "Debian chromium not installed";
  ScopedEnv chromium("VENDRO_CHROMIUM", "/usr/bin/chromium");
  EXPECT_EQ(find_executable(), "/usr/lib/chromium/chromium");
  auto version = executable_version(find_executable());
  ASSERT_TRUE(version);
  EXPECT_EQ(version->rfind("Chromium ", 0), 0u) << *version;
}

TEST(ExecutableTest, VersionProbeIsBoundedAndKillsWhatTheExecutableStarted) {
  TempDir dir;
  // Says nothing and never ends.
  const auto silent = write_script(dir, "silent", std::string(FORKING_HANG) + "wait\n");
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(executable_version(silent), std::nullopt);
  auto spent = std::chrono::steady_clock::now() - start;
  EXPECT_GE(spent, 2500ms);
  EXPECT_LT(spent, 5s);
  EXPECT_TRUE(none_survive(dir, "silent")) << ::testing::PrintToString(survivors(dir, "silent"));

  // Answers, then lingers: the first line is enough, nothing waits for the end.
  const auto chatty = write_script(
      dir, "chatty",
      std::string(FORKING_HANG) + "echo 'Chromium 999.0.1.2 stand-in '\necho second\nwait\n");
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(executable_version(chatty), "Chromium 999.0.1.2 stand-in");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(none_survive(dir, "chatty")) << ::testing::PrintToString(survivors(dir, "chatty"));

  // Floods without a newline: a few KiB are read, then it is killed.
  const auto flood =
      write_script(dir, "flood", "echo $$ >> \"$PIDS\"\nexec tr '\\000' x < /dev/zero\n");
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(executable_version(flood), std::nullopt);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_TRUE(none_survive(dir, "flood")) << ::testing::PrintToString(survivors(dir, "flood"));

  // Floods lines: the first one is the answer.
  const auto lines =
      write_script(dir, "lines", "echo $$ >> \"$PIDS\"\nexec yes 'Chromium 1.2.3'\n");
  EXPECT_EQ(executable_version(lines), "Chromium 1.2.3");
  EXPECT_TRUE(none_survive(dir, "lines")) << ::testing::PrintToString(survivors(dir, "lines"));

  EXPECT_EQ(executable_version(dir / "missing"), std::nullopt);
}

TEST(SwitchesTest, EnvironmentProxyAndExtraSwitchesAreAppended) {
  ScopedEnv args("VENDRO_CHROMIUM_ARGS",
                 "--host-resolver-rules=\"MAP * 127.0.0.1\" --ignore-certificate-errors");
  ScopedEnv proxy("HTTPS_PROXY", "http://proxy.local:3128");
  ScopedEnv no_proxy("NO_PROXY", "localhost,127.0.0.1");
  auto list = chromium_switches({.headless = true, .user_data_dir = "/tmp/p", .extra = {"--a"}});
  auto has = [&](const std::string& s) {
    return std::find(list.begin(), list.end(), s) != list.end();
  };
  EXPECT_TRUE(has("--remote-debugging-pipe"));
  EXPECT_TRUE(has("--headless=new"));
  EXPECT_TRUE(has("--user-data-dir=/tmp/p"));
  EXPECT_TRUE(has("--no-startup-window"));
  EXPECT_TRUE(has("--in-process-gpu"));
  EXPECT_TRUE(has("--proxy-server=http://proxy.local:3128"));
  EXPECT_TRUE(has("--proxy-bypass-list=localhost;127.0.0.1"));
  EXPECT_TRUE(has("--host-resolver-rules=MAP * 127.0.0.1"));
  // The caller's switches come before the operator's, which come last.
  auto a = std::find(list.begin(), list.end(), "--a");
  auto rules = std::find(list.begin(), list.end(), "--host-resolver-rules=MAP * 127.0.0.1");
  EXPECT_LT(a, rules);
  EXPECT_EQ(::geteuid() == 0, has("--no-sandbox"));

  // An explicit proxy wins over the environment's.
  list = chromium_switches({.user_data_dir = "/tmp/p", .extra = {"--proxy-server=direct://"}});
  EXPECT_FALSE(std::find(list.begin(), list.end(), "--proxy-server=http://proxy.local:3128") !=
               list.end());
  // A visible browser keeps its GPU work in a process of its own.
  list = chromium_switches({.headless = false, .user_data_dir = "/tmp/p"});
  EXPECT_FALSE(std::find(list.begin(), list.end(), "--in-process-gpu") != list.end());
  EXPECT_FALSE(std::find(list.begin(), list.end(), "--headless=new") != list.end());
}

TEST(BrowserProcessTest, HeadlessBrowserDrawsWithoutAGpuProcess) {
  asio::io_context io;
  auto browser = run(io, launch());
  auto context = run(io, browser->new_context());
  auto page = run(io, context->new_page());
  run(io, page->evaluate("document.body.innerHTML = '<h1>画面</h1>'"));
  const std::string png = run(io, page->screenshot());
  EXPECT_EQ(png.substr(1, 3), "PNG");
  bool renderer = false;
  for (const auto& process : live_processes_of(browser->pid(), "")) {
    EXPECT_EQ(process.command_line.find("--type=gpu-process"), std::string::npos)
        << process.command_line;
    if (process.command_line.find("--type=renderer") != std::string::npos) renderer = true;
  }
  EXPECT_TRUE(renderer);  // the scan does see the browser's helpers
  run(io, browser->close());
}

TEST(BrowserProcessTest, CloseLeavesNoProcessAndNoTemporaryProfile) {
  asio::io_context io;
  auto browser = run(io, launch());
  const pid_t pid = browser->pid();
  const std::string profile = user_data_dir_of(pid);
  ASSERT_FALSE(profile.empty());
  ASSERT_TRUE(fs::exists(profile));
  EXPECT_FALSE(live_processes_of(pid, "").empty());
  EXPECT_FALSE(browser->version().empty());

  const auto start = std::chrono::steady_clock::now();
  run(io, browser->close());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);
  EXPECT_FALSE(browser->is_connected());
  EXPECT_TRUE(all_gone(pid, profile, 0ms)) << "processes left after close";
  EXPECT_FALSE(fs::exists(profile));
  run(io, browser->close());  // again: nothing to do
}

TEST(BrowserProcessTest, DroppingTheBrowserWithoutCloseKillsIt) {
  asio::io_context io;
  auto browser = run(io, launch());
  const pid_t pid = browser->pid();
  const std::string profile = user_data_dir_of(pid);
  browser.reset();
  EXPECT_TRUE(all_gone(pid, profile, 0ms));
  EXPECT_FALSE(fs::exists(profile));
}

TEST(BrowserProcessTest, BrowserDiesWithItsParentEvenOnSigkill) {
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    try {
      asio::io_context io;
      auto browser = run(io, launch());
      const pid_t pid = browser->pid();
      (void)!::write(report[1], &pid, sizeof pid);
      for (;;) ::pause();
    } catch (...) {
      ::_exit(3);
    }
  }
  ::close(report[1]);
  pid_t browser_pid = 0;
  ASSERT_EQ(::read(report[0], &browser_pid, sizeof browser_pid),
            static_cast<ssize_t>(sizeof browser_pid));
  ::close(report[0]);
  const std::string profile = user_data_dir_of(browser_pid);
  ASSERT_FALSE(live_processes_of(browser_pid, "").empty());
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(all_gone(browser_pid, "")) << "the browser outlived its SIGKILLed parent";
  // The guard removes the temporary profile that nobody else was left to remove.
  ASSERT_FALSE(profile.empty());
  EXPECT_TRUE(eventually([&] { return !fs::exists(fs::path(profile).parent_path()); }, 5s))
      << profile;
}

// Runs the lifetime helper with TMPDIR set to `tmpdir`, in a process group of its own (as a
// shell runs a command), and reads the browser's pid from it.
struct HelperRun {
  pid_t helper = -1;
  pid_t browser = -1;
  int go_fd = -1;  // a line here makes it close or abort
};

HelperRun start_helper(const fs::path& tmpdir, const std::string& kind, const fs::path& profile,
                       const std::string& end) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TMPDIR=", 7) != 0) env_text.emplace_back(*e);
  }
  env_text.push_back("TMPDIR=" + tmpdir.string());
  std::vector<std::string> argv_text = {VENDRO_LIFETIME_HELPER, kind, profile.string(), end};
  std::vector<char*> env, argv;
  for (auto& e : env_text) env.push_back(e.data());
  for (auto& a : argv_text) argv.push_back(a.data());
  env.push_back(nullptr);
  argv.push_back(nullptr);
  int out[2];
  int in[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) return {};
  HelperRun run;
  run.helper = ::fork();
  if (run.helper == 0) {
    ::setpgid(0, 0);
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::execve(argv[0], argv.data(), env.data());
    ::_exit(127);
  }
  ::setpgid(run.helper, run.helper);
  ::close(out[1]);
  ::close(in[0]);
  run.go_fd = in[1];
  std::string line;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  if (!line.empty()) run.browser = static_cast<pid_t>(std::stol(line));
  return run;
}

// Everything under `dir`, relative to it. Entries may vanish while we look.
std::vector<std::string> entries_of(const fs::path& dir) {
  std::vector<std::string> out;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
    out.push_back(it->path().lexically_relative(dir).string());
  }
  return out;
}

// Launches through the helper in a fresh TMPDIR, ends the helper in every way it can end, and
// looks for anything left: files in TMPDIR, browser processes, the guard.
void expect_nothing_left_after_every_end(const std::string& kind) {
  struct End {
    std::string name;
    std::string helper_end;
    int signal;        // sent by the test, 0 for none
    bool to_group;     // to the helper's whole process group, as a terminal's Ctrl-C is
    int expected_end;  // exit code, or the terminating signal (negative)
  };
  const std::vector<End> ends = {
      {"close", "close", 0, false, 0},
      {"abort", "abort", 0, false, -SIGABRT},
      {"SIGKILL", "wait", SIGKILL, false, -SIGKILL},
      {"SIGTERM", "wait", SIGTERM, false, -SIGTERM},
      {"Ctrl-C", "wait", SIGINT, true, -SIGINT},
  };
  for (const auto& end : ends) {
    SCOPED_TRACE(kind + ", " + end.name);
    TempDir tmpdir;
    TempDir profile_dir;
    const auto run = start_helper(tmpdir.path(), kind, profile_dir / "profile", end.helper_end);
    // A failing check must not leave the helper (and the browser it holds, which shares our
    // output) running.
    struct KillUnlessReaped {
      pid_t helper;
      bool reaped = false;
      ~KillUnlessReaped() {
        if (helper <= 0 || reaped) return;
        ::kill(-helper, SIGKILL);
        ::waitpid(helper, nullptr, 0);
      }
    } helper_guard{run.helper};
    ASSERT_GT(run.helper, 0);
    ASSERT_GT(run.browser, 0) << "the helper did not launch a browser";
    const std::string tmp = tmpdir.path().string();

    // Chromium's own temporary folder lands in our scratch directory, which the guard watches.
    bool chromium_tmp = false;
    eventually(
        [&] {
          for (const auto& name : entries_of(tmpdir.path())) {
            if (name.find("/tmp/org.chromium.Chromium.") != std::string::npos) chromium_tmp = true;
          }
          return chromium_tmp;
        },
        3s);
    EXPECT_TRUE(chromium_tmp) << ::testing::PrintToString(entries_of(tmpdir.path()));
    bool guard = false;
    for (const auto& p : live_processes_of(0, tmp)) {
      if (p.command_line.find(GUARD_NAME) != std::string::npos) guard = true;
    }
    EXPECT_TRUE(guard) << "no guard process watches " << tmp;

    if (end.signal != 0) {
      ::kill(end.to_group ? -run.helper : run.helper, end.signal);
    } else {
      EXPECT_EQ(::write(run.go_fd, "\n", 1), 1);
    }
    ::close(run.go_fd);
    int status = 0;
    ASSERT_EQ(::waitpid(run.helper, &status, 0), run.helper);
    helper_guard.reaped = true;
    if (end.expected_end >= 0) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == end.expected_end) << status;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == -end.expected_end) << status;
    }

    EXPECT_TRUE(eventually([&] { return entries_of(tmpdir.path()).empty(); }, 5s))
        << ::testing::PrintToString(entries_of(tmpdir.path()));
    EXPECT_TRUE(all_gone(run.browser, tmp))
        << ::testing::PrintToString(live_processes_of(run.browser, tmp).size())
        << " browser or guard processes left";
  }
}

TEST(ScratchCleanupTest, NothingLeftInTmpdirAfterAnyEndOfATemporaryProfileBrowser) {
  expect_nothing_left_after_every_end("temporary");
}

TEST(ScratchCleanupTest, NothingLeftInTmpdirAfterAnyEndOfAPersistentContext) {
  expect_nothing_left_after_every_end("persistent");
}

TEST(ScratchCleanupTest, ADeepTmpdirStillLeavesChromiumRoomForItsSocket) {
  // Chromium aborts when TMPDIR/org.chromium.Chromium.XXXXXX/SingletonSocket is too long for a
  // socket address, so the scratch directory moves to /tmp then.
  TempDir dir;
  const fs::path deep = dir / "a-temporary-directory-deep-enough-to-overflow-a-socket-path";
  fs::create_directories(deep);
  ScopedEnv tmpdir("TMPDIR", deep.string());
  const fs::path scratch = make_scratch_dir();
  EXPECT_EQ(scratch.parent_path(), "/tmp");
  fs::remove_all(scratch);

  asio::io_context io;
  auto browser = run(io, launch());
  EXPECT_FALSE(browser->version().empty());
  run(io, browser->close());
  EXPECT_TRUE(fs::is_empty(deep));
}

TEST(ScratchCleanupTest, ClosingReleasesAndReapsTheGuard) {
  asio::io_context io;
  TempDir dir;
  const fs::path scratch = dir / "scratch";
  fs::create_directories(scratch);
  pid_t guard = -1;
  pid_t pid = -1;
  {
    BrowserProcess process(
        io.get_executor(),
        {.executable = "/bin/sh",
         .args = {"-c", "echo \"$TMPDIR\" > \"$TMPDIR/../seen\"; exec sleep 300"},
         .scratch_dir = scratch});
    guard = process.guard_pid();
    pid = process.pid();
    ASSERT_GT(guard, 0);
    EXPECT_NE(guard, pid);
    ASSERT_TRUE(eventually([&] { return fs::exists(scratch / "seen"); }, 3s));
    // The browser's TMPDIR is inside the scratch directory.
    EXPECT_EQ(read_file(scratch / "seen"), (scratch / "tmp").string() + "\n");
    bool guard_alive = false;
    for (const auto& p : live_processes()) {
      if (p.pid == guard) {
        guard_alive = true;
        EXPECT_EQ(p.group, guard) << "the guard shares a process group";
        EXPECT_NE(p.command_line.find(GUARD_NAME), std::string::npos) << p.command_line;
      }
    }
    EXPECT_TRUE(guard_alive);
  }
  EXPECT_FALSE(fs::exists(scratch));
  // Both were our children and both are reaped: no zombie, nothing left to wait for.
  int status = 0;
  EXPECT_EQ(::waitpid(guard, &status, WNOHANG), -1);
  EXPECT_EQ(::waitpid(pid, &status, WNOHANG), -1);
  EXPECT_TRUE(all_gone(pid, scratch.string(), 0ms));
}

TEST(BrowserProcessTest, BrowserKilledMidOperationFailsPendingCallsPromptly) {
  asio::io_context io;
  auto browser = run(io, launch());
  auto context = run(io, browser->new_context());
  auto page = run(io, context->new_page());
  const pid_t pid = browser->pid();
  std::thread killer([pid] {
    std::this_thread::sleep_for(300ms);
    ::kill(-pid, SIGKILL);
  });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_THROW(run(io, page->evaluate("new Promise(() => {})")), TargetClosedError);
  killer.join();
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  EXPECT_FALSE(browser->is_connected());
  EXPECT_TRUE(page->is_closed());
  EXPECT_THROW(run(io, page->goto_url("about:blank")), TargetClosedError);
  EXPECT_THROW(run(io, context->new_page()), TargetClosedError);
  run(io, browser->close());
  EXPECT_TRUE(all_gone(pid, ""));
}

TEST(BrowserProcessTest, WritingToADeadBrowserFailsInsteadOfKillingUs) {
  asio::io_context io;
  auto browser = run(io, launch());
  auto context = run(io, browser->new_context());
  auto page = run(io, context->new_page());
  const pid_t pid = browser->pid();
  ::kill(-pid, SIGKILL);
  ASSERT_TRUE(all_gone(pid, ""));
  // The loop has not noticed yet: this command is written into a pipe nobody reads.
  EXPECT_THROW(run(io, page->evaluate("1")), TargetClosedError);
  EXPECT_FALSE(browser->is_connected());
}

TEST(ProfileLockTest, LiveLockIsRefusedAndStaleLockIsCleared) {
  TempDir dir;
  const fs::path profile = dir / "profile";
  fs::create_directories(profile);
  fs::create_symlink(host_name() + "-" + std::to_string(dead_pid()), profile / "SingletonLock");

  LocalServer server;
  std::string accept_language;
  server.server().Get("/", [&](const httplib::Request& req, httplib::Response& res) {
    accept_language = req.get_header_value("Accept-Language");
    res.set_content("<html><body>hi</body></html>", "text/html");
  });
  server.start();

  asio::io_context io;
  auto context =
      run(io, launch_persistent_context(
                  {.user_data_dir = profile, .viewport = Viewport{1440, 900}, .locale = "zh-CN"}));
  ASSERT_EQ(context->pages().size(), 1u);
  auto page = context->pages().front();
  run(io, page->goto_url(server.base_url() + "/"));
  EXPECT_EQ(run(io, page->evaluate("[innerWidth, innerHeight, navigator.language]")),
            Json::parse(R"([1440, 900, "zh-CN"])"));
  EXPECT_EQ(accept_language.rfind("zh-CN", 0), 0u) << accept_language;

  // The profile now belongs to a live browser: a second launch is refused at once.
  const auto start = std::chrono::steady_clock::now();
  try {
    run(io, launch_persistent_context({.user_data_dir = profile}));
    FAIL() << "a second browser on the same profile";
  } catch (const ProfileInUseError& e) {
    EXPECT_NE(std::string(e.what()).find("profile in use"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find(profile.string()), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3s);  // refused, not handed off or hung
  const pid_t pid = context->browser()->pid();
  run(io, context->close());
  EXPECT_TRUE(all_gone(pid, profile.string()));
  // A polite close saves the profile and releases the lock.
  EXPECT_FALSE(fs::is_symlink(profile / "SingletonLock"));
}

TEST(PersistentContextTest, CookiesPersistInTheProfile) {
  TempDir dir;
  LocalServer server;
  server.server().Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("<html></html>", "text/html");
  });
  server.start();
  {
    asio::io_context io;
    auto context = run(io, launch_persistent_context({.user_data_dir = dir / "p"}));
    run(io, context->pages().front()->goto_url(server.base_url() + "/"));
    run(io, context->pages().front()->evaluate(
                "document.cookie = 'session=kept; max-age=3600'; localStorage.setItem('k', 'v')"));
    run(io, context->close());
  }
  asio::io_context io;
  auto context = run(io, launch_persistent_context({.user_data_dir = dir / "p"}));
  auto page = context->pages().front();
  run(io, page->goto_url(server.base_url() + "/"));
  EXPECT_EQ(run(io, page->evaluate("[document.cookie, localStorage.getItem('k')]")),
            Json::parse(R"(["session=kept", "v"])"));
  run(io, context->close());
}

}  // namespace
}  // namespace vendro::testing
