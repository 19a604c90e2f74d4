#pragma once
// Finding the Chromium executable and the switches every launch passes.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vendro::browser {

// The executable to launch: $VENDRO_CHROMIUM when set, else `chromium`, `chromium-browser`,
// `google-chrome` (and `google-chrome-stable`) on PATH, else the usual macOS application paths.
// Debian's /usr/bin/chromium shell wrapper is replaced by the real binary in /usr/lib/chromium,
// since the wrapper adds switches of its own. Throws LaunchError whose message contains
// "Executable doesn't exist" and every path tried.
std::filesystem::path find_executable();

// Like find_executable, but answers nothing instead of throwing; `tried` receives every path
// that was looked at.
std::optional<std::filesystem::path> try_find_executable(std::vector<std::string>* tried = nullptr);

// The first line `executable --version` prints ("Chromium 156.0.8078.129"), or nothing when it
// cannot be run, prints no line within a few KiB, or prints nothing within about 3 seconds. The
// probe runs in a process group of its own, which is killed afterwards, so whatever the
// executable started is gone too. Blocks for at most about 3 seconds.
std::optional<std::string> executable_version(const std::filesystem::path& executable);

// Splits $VENDRO_CHROMIUM_ARGS-style text into switches: white space separates, single and double
// quotes group.
std::vector<std::string> split_switches(const std::string& text);

struct ProxyCredentials {
  std::string username;
  std::string password;
};

struct ProxySettings {
  std::string server;                           // scheme://host:port, no credentials
  std::optional<std::string> bypass;            // from NO_PROXY/no_proxy, ';'-separated
  std::optional<ProxyCredentials> credentials;  // percent-decoded user info, if any
};

// The proxy from HTTPS_PROXY / https_proxy / ALL_PROXY / all_proxy (the first one set), or
// nothing. A value without a scheme ("host:port") is http; socks5h and socks4a become socks5
// and socks4; a missing port is the scheme's usual one (80, 443, 1080). Throws LaunchError,
// whose message never contains the password, when the value cannot be parsed or names a scheme
// Chromium cannot use.
std::optional<ProxySettings> proxy_from_environment();

// The environment's proxy when a launch with the caller's switches `extra` uses it: not when
// `extra` or $VENDRO_CHROMIUM_ARGS name a --proxy-server of their own. Throws as
// proxy_from_environment() does.
std::optional<ProxySettings> launch_proxy(const std::vector<std::string>& extra);

struct SwitchOptions {
  bool headless = true;
  std::filesystem::path user_data_dir;
  // Open one blank tab at start (persistent contexts); otherwise start without a window.
  bool open_blank_tab = false;
  std::optional<std::string> locale;
  std::vector<std::string> extra;  // caller's switches, before $VENDRO_CHROMIUM_ARGS
};

// The full command line after the executable: automation switches for a closed network,
// --remote-debugging-pipe, the profile, headless mode, --no-sandbox when running as root, the
// launch_proxy() server and bypass list (never its credentials: a command line is readable by
// every local user; the browser answers the proxy's challenge through the protocol), the
// caller's switches,
// then $VENDRO_CHROMIUM_ARGS. Throws LaunchError as proxy_from_environment() does.
std::vector<std::string> chromium_switches(const SwitchOptions& options);

}  // namespace vendro::browser
