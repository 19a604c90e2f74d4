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
// cannot be run. Blocks for at most a few seconds.
std::optional<std::string> executable_version(const std::filesystem::path& executable);

// Splits $VENDRO_CHROMIUM_ARGS-style text into switches: white space separates, single and double
// quotes group.
std::vector<std::string> split_switches(const std::string& text);

struct SwitchOptions {
  bool headless = true;
  std::filesystem::path user_data_dir;
  // Open one blank tab at start (persistent contexts); otherwise start without a window.
  bool open_blank_tab = false;
  std::optional<std::string> locale;
  std::vector<std::string> extra;  // caller's switches, before $VENDRO_CHROMIUM_ARGS
};

// The full command line after the executable: automation switches for a closed network,
// --remote-debugging-pipe, the profile, headless mode, --no-sandbox when running as root, a proxy
// from HTTPS_PROXY / ALL_PROXY, the caller's switches, then $VENDRO_CHROMIUM_ARGS.
std::vector<std::string> chromium_switches(const SwitchOptions& options);

}  // namespace vendro::browser
