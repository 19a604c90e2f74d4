// The browser process: finding the executable, its switches, profile locks, and that no browser
// process outlives its owner, whatever way the owner ends.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <filesystem>
#include <thread>

#include "browser/process_scan.hpp"
#include "support/local_server.hpp"
#include "support/temp_dir.hpp"
#include "vendro/browser/blocking.hpp"
#include "vendro/browser/browser.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/executable.hpp"

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
  // Nobody was left to remove the temporary profile; do it for the machine's sake.
  std::error_code ec;
  if (!profile.empty()) fs::remove_all(fs::path(profile).parent_path(), ec);
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
