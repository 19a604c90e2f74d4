#include "vendro/browser/executable.hpp"

#include <unistd.h>

#include <curl/curl.h>

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>

#include "vendro/browser/errors.hpp"
#include "vendro/core/child_process.hpp"
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
  for (const char* name : PATH_NAMES) {
    if (auto found = process::find_program(name)) return unwrap(*found);
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
  // A version line is short; more than this without a newline is not one.
  constexpr std::size_t MAX_OUTPUT = 4096;
  process::RunResult probe;
  try {
    probe = process::run({.argv = {executable.string(), "--version"},
                          .timeout = std::chrono::seconds(3),
                          .grace = std::chrono::milliseconds(0),
                          .stop_when = [](const std::string& out) {
                            return out.find('\n') != std::string::npos || out.size() >= MAX_OUTPUT;
                          }});
  } catch (const process::ProcessStartError&) {
    return std::nullopt;
  }
  std::string text = std::move(probe.out);
  const auto end = text.find('\n');
  if (end == std::string::npos ? text.size() >= MAX_OUTPUT : end >= MAX_OUTPUT) {
    return std::nullopt;
  }
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

std::vector<std::string> switches_from_environment() {
  if (auto text = get_env("VENDRO_CHROMIUM_ARGS")) return split_switches(*text);
  return {};
}

bool has_switch(const std::vector<std::string>& list, const std::string& name) {
  for (const auto& s : list) {
    if (s == name || s.rfind(name + "=", 0) == 0) return true;
  }
  return false;
}

struct CurlUrlFree {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};

// The value with any user info replaced, for error messages.
std::string without_user_info(const std::string& value) {
  const auto scheme_end = value.find("://");
  const std::size_t start = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const auto at = value.rfind('@');
  if (at == std::string::npos || at < start) return value;
  return value.substr(0, start) + "***" + value.substr(at);
}

std::optional<std::string> url_part(CURLU* url, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  if (curl_url_get(url, part, &text, flags) != CURLUE_OK || text == nullptr) return std::nullopt;
  std::string out = text;
  curl_free(text);
  return out;
}

ProxySettings parse_proxy(const std::string& variable, const std::string& raw) {
  std::string value = raw;
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.back()))) {
    value.pop_back();
  }
  while (!value.empty() && std::isspace(static_cast<unsigned char>(value.front()))) {
    value.erase(0, 1);
  }
  const auto fail = [&](const std::string& why) {
    return LaunchError("环境变量 " + variable + " 中的代理地址 " + without_user_info(value) +
                       " 无法使用：" + why +
                       "。请写成 http://主机:端口 或 主机:端口（用户名和密码可放在主机前，"
                       "如 http://用户名:密码@主机:端口）。");
  };
  if (value.find("://") == std::string::npos) value = "http://" + value;
  std::unique_ptr<CURLU, CurlUrlFree> url(curl_url());
  if (!url) throw fail("内存不足");
  if (curl_url_set(url.get(), CURLUPART_URL, value.c_str(), CURLU_NON_SUPPORT_SCHEME) !=
      CURLUE_OK) {
    throw fail("格式不对");
  }
  std::string scheme = url_part(url.get(), CURLUPART_SCHEME).value_or("");
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  // Chromium resolves names through a SOCKS5 proxy anyway and has no SOCKS4a.
  if (scheme == "socks5h") scheme = "socks5";
  if (scheme == "socks4a") scheme = "socks4";
  std::string default_port;
  if (scheme == "http") {
    default_port = "80";
  } else if (scheme == "https") {
    default_port = "443";
  } else if (scheme == "socks4" || scheme == "socks5") {
    default_port = "1080";
  } else {
    throw fail("不支持的代理协议 " + scheme + "（可用 http、https、socks4、socks5）");
  }
  const auto host = url_part(url.get(), CURLUPART_HOST);
  if (!host || host->empty()) throw fail("缺少主机名");
  const std::string port = url_part(url.get(), CURLUPART_PORT).value_or(default_port);

  ProxySettings settings;
  settings.server = scheme + "://" + *host + ":" + port;
  if (auto user = url_part(url.get(), CURLUPART_USER, CURLU_URLDECODE)) {
    const auto password = url_part(url.get(), CURLUPART_PASSWORD, CURLU_URLDECODE);
    settings.credentials = ProxyCredentials{*user, password.value_or("")};
  } else if (url_part(url.get(), CURLUPART_USER)) {
    throw fail("用户名的百分号编码有误");
  }
  if (settings.credentials) {
    // A password that does not decode would otherwise be dropped without a word.
    if (url_part(url.get(), CURLUPART_PASSWORD) &&
        !url_part(url.get(), CURLUPART_PASSWORD, CURLU_URLDECODE)) {
      throw fail("密码的百分号编码有误");
    }
  }
  return settings;
}

}  // namespace

std::optional<ProxySettings> proxy_from_environment() {
  std::optional<ProxySettings> settings;
  for (const char* name : {"HTTPS_PROXY", "https_proxy", "ALL_PROXY", "all_proxy"}) {
    if (auto value = get_env(name)) {
      settings = parse_proxy(name, *value);
      break;
    }
  }
  if (!settings) return std::nullopt;
  auto bypass = get_env("NO_PROXY");
  if (!bypass) bypass = get_env("no_proxy");
  if (bypass) {
    std::string list;
    std::stringstream in(*bypass);
    for (std::string item; std::getline(in, item, ',');) {
      const auto first = item.find_first_not_of(" \t");
      if (first == std::string::npos) continue;
      const auto last = item.find_last_not_of(" \t");
      if (!list.empty()) list.push_back(';');
      list.append(item, first, last - first + 1);
    }
    if (!list.empty()) settings->bypass = list;
  }
  return settings;
}

std::optional<ProxySettings> launch_proxy(const std::vector<std::string>& extra) {
  if (has_switch(extra, "--proxy-server") ||
      has_switch(switches_from_environment(), "--proxy-server")) {
    return std::nullopt;  // the operator chose a proxy by switch: our credentials are not its
  }
  return proxy_from_environment();
}

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

  const std::vector<std::string> from_env = switches_from_environment();
  if (auto proxy = launch_proxy(options.extra)) {
    args.push_back("--proxy-server=" + proxy->server);
    if (proxy->bypass) args.push_back("--proxy-bypass-list=" + *proxy->bypass);
  }
  args.insert(args.end(), options.extra.begin(), options.extra.end());
  args.insert(args.end(), from_env.begin(), from_env.end());
  args.push_back(options.open_blank_tab ? "about:blank" : "--no-startup-window");
  return args;
}

}  // namespace vendro::browser
