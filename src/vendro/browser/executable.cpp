#include "vendro/browser/executable.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>

#include "vendro/browser/errors.hpp"
#include "vendro/core/environment.hpp"

namespace vendro::browser {

namespace fs = std::filesystem;

namespace {

bool is_executable_file(const fs::path& path) {
  std::error_code ec;
  return fs::is_regular_file(path, ec) && ::access(path.c_str(), X_OK) == 0;
}

// Debian's /usr/bin/chromium is a shell script that adds switches; launch what it wraps.
fs::path unwrap(const fs::path& found) {
  std::error_code ec;
  fs::path resolved = fs::canonical(found, ec);
  if (ec) resolved = found;
  if (resolved == "/usr/bin/chromium" && is_executable_file("/usr/lib/chromium/chromium")) {
    return "/usr/lib/chromium/chromium";
  }
  return found;
}

const char* const PATH_NAMES[] = {"chromium", "chromium-browser", "google-chrome",
                                  "google-chrome-stable"};

const char* const MAC_PATHS[] = {
    "/Applications/Chromium.app/Contents/MacOS/Chromium",
    "/Applications/Google Chrome.app/Contents/MacOS/Google Chrome",
};

}  // namespace

std::optional<fs::path> try_find_executable(std::vector<std::string>* tried) {
  auto note = [&](const fs::path& p) {
    if (tried) tried->push_back(p.string());
  };
  if (auto explicit_path = get_env("VENDRO_CHROMIUM")) {
    note(*explicit_path);
    if (is_executable_file(*explicit_path)) return unwrap(*explicit_path);
    return std::nullopt;  // an explicit choice is never second-guessed
  }
  std::vector<fs::path> dirs;
  if (auto path = get_env("PATH")) {
    std::stringstream in(*path);
    for (std::string dir; std::getline(in, dir, ':');) {
      if (!dir.empty()) dirs.emplace_back(dir);
    }
  }
  for (const char* name : PATH_NAMES) {
    for (const auto& dir : dirs) {
      fs::path candidate = dir / name;
      if (is_executable_file(candidate)) return unwrap(candidate);
    }
    note(std::string(name) + "（PATH 中）");
  }
  std::vector<fs::path> app_paths(std::begin(MAC_PATHS), std::end(MAC_PATHS));
  app_paths.push_back(home_dir() / "Applications/Chromium.app/Contents/MacOS/Chromium");
  app_paths.push_back(home_dir() / "Applications/Google Chrome.app/Contents/MacOS/Google Chrome");
  for (const auto& candidate : app_paths) {
    note(candidate);
    if (is_executable_file(candidate)) return candidate;
  }
  return std::nullopt;
}

fs::path find_executable() {
  std::vector<std::string> tried;
  if (auto found = try_find_executable(&tried)) return *found;
  std::string list;
  for (const auto& p : tried) list += (list.empty() ? "" : ", ") + p;
  throw LaunchError("Executable doesn't exist：找不到 Chromium 浏览器。已查找：" + list +
                    "。请安装 Chromium（Debian：apt-get install chromium），或用 VENDRO_CHROMIUM "
                    "指定浏览器可执行文件。");
}

std::optional<std::string> executable_version(const fs::path& executable) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  pid_t pid = ::fork();
  if (pid < 0) {
    ::close(out[0]);
    ::close(out[1]);
    return std::nullopt;
  }
  if (pid == 0) {
    ::dup2(out[1], 1);
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) ::dup2(devnull, 2);
    ::execl(executable.c_str(), executable.c_str(), "--version", static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(out[1]);
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  char buf[512];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{out[0], POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  ::kill(pid, SIGKILL);  // harmless when it already ended
  int status = 0;
  ::waitpid(pid, &status, 0);
  auto end = text.find('\n');
  if (end != std::string::npos) text.resize(end);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\r')) text.pop_back();
  if (text.empty()) return std::nullopt;
  return text;
}

std::vector<std::string> split_switches(const std::string& text) {
  std::vector<std::string> out;
  std::string current;
  bool have = false;
  char quote = 0;
  for (char c : text) {
    if (quote) {
      if (c == quote) {
        quote = 0;
      } else {
        current += c;
      }
    } else if (c == '\'' || c == '"') {
      quote = c;
      have = true;
    } else if (c == ' ' || c == '\t' || c == '\n') {
      if (have) out.push_back(std::move(current));
      current.clear();
      have = false;
    } else {
      current += c;
      have = true;
    }
  }
  if (have) out.push_back(std::move(current));
  return out;
}

namespace {

bool has_switch(const std::vector<std::string>& list, const std::string& name) {
  for (const auto& s : list) {
    if (s == name || s.rfind(name + "=", 0) == 0) return true;
  }
  return false;
}

std::optional<std::string> proxy_from_environment() {
  for (const char* name : {"HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) {
    if (auto value = get_env(name)) return value;
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> chromium_switches(const SwitchOptions& options) {
  // Quiet automation on a closed network: nothing phones home, nothing pops up, nothing is
  // throttled in the background.
  std::vector<std::string> args = {
      "--disable-field-trial-config",
      "--disable-background-networking",
      "--disable-background-timer-throttling",
      "--disable-backgrounding-occluded-windows",
      "--disable-back-forward-cache",
      "--disable-breakpad",
      "--disable-client-side-phishing-detection",
      "--disable-component-extensions-with-background-pages",
      "--disable-component-update",
      "--no-default-browser-check",
      "--disable-default-apps",
      "--disable-dev-shm-usage",
      "--disable-extensions",
      "--disable-features=Translate,MediaRouter,DialMediaRouteProvider,OptimizationHints,"
      "CertificateTransparencyComponentUpdater,DestroyProfileOnBrowserClose,HttpsUpgrades,"
      "PaintHolding,LensOverlay",
      "--disable-hang-monitor",
      "--disable-ipc-flooding-protection",
      "--disable-popup-blocking",
      "--disable-prompt-on-repost",
      "--disable-renderer-backgrounding",
      "--disable-sync",
      "--disable-search-engine-choice-screen",
      "--force-color-profile=srgb",
      "--metrics-recording-only",
      "--no-first-run",
      "--no-service-autorun",
      "--password-store=basic",
      "--use-mock-keychain",
      "--remote-debugging-pipe",
      "--user-data-dir=" + options.user_data_dir.string(),
  };
  if (options.headless) {
    // Headless rendering is software only: its GPU thread may as well live in the browser
    // process, which spares starting (and later stopping) a GPU process.
    args.insert(args.end(),
                {"--headless=new", "--hide-scrollbars", "--mute-audio", "--in-process-gpu"});
  }
  if (::geteuid() == 0) args.push_back("--no-sandbox");
  if (options.locale) args.push_back("--lang=" + *options.locale);

  std::vector<std::string> from_env;
  if (auto text = get_env("VENDRO_CHROMIUM_ARGS")) from_env = split_switches(*text);
  if (!has_switch(options.extra, "--proxy-server") && !has_switch(from_env, "--proxy-server")) {
    if (auto proxy = proxy_from_environment()) {
      args.push_back("--proxy-server=" + *proxy);
      auto bypass = get_env("NO_PROXY");
      if (!bypass) bypass = get_env("no_proxy");
      if (bypass) {
        std::string list = *bypass;
        for (char& c : list) {
          if (c == ',') c = ';';
        }
        args.push_back("--proxy-bypass-list=" + list);
      }
    }
  }
  args.insert(args.end(), options.extra.begin(), options.extra.end());
  args.insert(args.end(), from_env.begin(), from_env.end());
  args.push_back(options.open_blank_tab ? "about:blank" : "--no-startup-window");
  return args;
}

}  // namespace vendro::browser
