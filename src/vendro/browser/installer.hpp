#pragma once
// Installing Chromium the platform's way, and the child process through which a capture that
// found no browser asks for it.
//
// What runs:
// - $VENDRO_BROWSER_INSTALLER when set: split like $VENDRO_CHROMIUM_ARGS into a program and its
//   arguments and run (never through a shell) in place of the platform's step below; its exit
//   status and output count exactly as the package manager's would.
// - Debian and Ubuntu (apt-get and /etc/debian_version present): as root,
//   `apt-get install -y chromium` with DEBIAN_FRONTEND=noninteractive; when apt-get does not know
//   the package yet, `apt-get update` once and the install again. Not root: nothing runs and the
//   error names "sudo apt-get install -y chromium".
// - macOS: nothing runs; the error names "brew install --cask chromium". Homebrew refuses to run
//   as root, may ask for a password, and macOS holds back a freshly downloaded browser until the
//   user confirms it, none of which an unattended repair can finish.
// - Other systems: nothing runs; the error asks for the system's package manager and
//   VENDRO_CHROMIUM.
// The library prints nothing; progress lines are the command line's business.

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vendro/core/json.hpp"

namespace vendro::browser {

// How long an installation may take unless VENDRO_BROWSER_INSTALL_TIMEOUT says otherwise.
inline constexpr std::chrono::seconds DEFAULT_INSTALL_TIMEOUT = std::chrono::minutes(15);
// The most VENDRO_BROWSER_INSTALL_TIMEOUT may ask for.
inline constexpr std::chrono::seconds MAX_INSTALL_TIMEOUT = std::chrono::hours(24);

// The time bound of an installation: $VENDRO_BROWSER_INSTALL_TIMEOUT, whole seconds from 1 to
// MAX_INSTALL_TIMEOUT (white space around allowed), else DEFAULT_INSTALL_TIMEOUT. Throws
// InputError naming the variable and the allowed range for any other value.
std::chrono::seconds install_timeout();

struct InstallOptions {
  // How long the installing programs may run, all together; nullopt means install_timeout().
  std::optional<std::chrono::seconds> timeout;
};

struct InstallResult {
  std::filesystem::path executable;  // the Chromium that a launch now finds
  std::vector<std::string> command;  // the installing command that succeeded
  // {"ok": true, "executable": ..., "command": [...]}
  Json to_json() const;
};

// Installs Chromium as described at the top, then checks that find_executable() now finds a
// browser. Each installing program runs with standard input from /dev/null and its output
// captured (at most its last 256 KiB per stream); when the time bound passes, its whole process
// group is terminated. Throws InstallError (its `run` holds the program's exit status and output
// when one ran), or InputError for a bad VENDRO_BROWSER_INSTALL_TIMEOUT or an empty
// VENDRO_BROWSER_INSTALLER. Blocks for the whole installation, within the bound plus a few
// seconds.
InstallResult install_chromium(const InstallOptions& options = {});

// The arguments after the program that ask vendro to install Chromium:
// "-m", "playwright", "install", "chromium".
const std::vector<std::string>& installer_arguments();

// True when `args` (the command line without the program itself) is exactly
// installer_arguments().
bool is_installer_command(const std::vector<std::string_view>& args);

// Runs `executable` (empty: this program itself, current_executable()) with
// installer_arguments() as a child process, without a shell, with standard input from /dev/null
// and its output captured, and waits. The child gets VENDRO_BROWSER_INSTALL_TIMEOUT=`bound`, so
// it ends its own installer in time; it is itself terminated, with its process group, when it
// has not ended `bound` plus 10 seconds after the start. Returns normally when the child exits
// with status 0. Throws InstallError for every other outcome: a non-zero exit status, a signal,
// the bound passed (its `run` then holds the exit status or signal, both output texts and
// timed_out; output() is what a summary shows), or a child that cannot be started (no `run`; the
// start failure is nested as the cause). The message is Chinese and names the command and how it
// ended. `bound` must be between 1 second and MAX_INSTALL_TIMEOUT (InputError otherwise).
void run_installer_child(std::chrono::seconds bound, const std::filesystem::path& executable = {});

}  // namespace vendro::browser
