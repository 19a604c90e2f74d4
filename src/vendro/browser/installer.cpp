#include "vendro/browser/installer.hpp"

#include <unistd.h>

#include <algorithm>
#include <charconv>

#include "vendro/browser/errors.hpp"
#include "vendro/browser/executable.hpp"
#include "vendro/core/child_process.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/core/text.hpp"

namespace vendro::browser {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Command = std::vector<std::string>;

namespace {

const Command APT_INSTALL = {"apt-get", "install", "-y", "chromium"};
const Command APT_UPDATE = {"apt-get", "update"};
const Command BREW_INSTALL = {"brew", "install", "--cask", "chromium"};

// Time the installer child gets beyond its own bound to end its installer and report.
constexpr auto CHILD_MARGIN = std::chrono::seconds(10);
// How much of the installing program's last words goes into a message.
constexpr std::size_t OUTPUT_LINE_LIMIT = 300;

// The command as one would type it into a shell, for messages.
std::string command_text(const Command& command) {
  std::string out;
  for (const auto& arg : command) {
    if (!out.empty()) out += ' ';
    const bool plain =
        !arg.empty() && arg.find_first_not_of(
                            "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                            "-_./=:+@%,") == std::string::npos;
    if (plain) {
      out += arg;
      continue;
    }
    out += '\'';
    for (char c : arg) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    out += '\'';
  }
  return out;
}

// The last line of `output` with something in it, shortened; "" when there is none.
std::string last_line(const std::string& output) {
  std::size_t end = output.size();
  while (end > 0) {
    const std::size_t start = output.rfind('\n', end - 1);
    const std::size_t from = start == std::string::npos ? 0 : start + 1;
    std::string line = text::strip(std::string_view(output).substr(from, end - from));
    if (!line.empty()) return text::first_code_points(line, OUTPUT_LINE_LIMIT);
    if (start == std::string::npos) break;
    end = start;
  }
  return {};
}

std::string how_it_ended(const process::RunResult& run, std::chrono::seconds bound) {
  if (run.timed_out) {
    return "运行超过 " + std::to_string(bound.count()) + " 秒仍未结束，已连同其子进程一起终止";
  }
  if (run.exit_code) return "以退出码 " + std::to_string(*run.exit_code) + " 结束";
  return run.describe();
}

// The error for an installing command that did not succeed; `manual` is what to run by hand.
InstallError run_failed(const std::string& what, const Command& command,
                        const process::RunResult& run, std::chrono::seconds bound,
                        const std::string& manual) {
  std::string message = what + "：" + command_text(command) + " " + how_it_ended(run, bound) + "。";
  if (const std::string said = last_line(run.err.empty() ? run.out : run.err); !said.empty()) {
    message += "程序输出的最后一行：" + said + "。";
  }
  message += "请手动执行：" + manual;
  return InstallError(message, command, run);
}

// Runs one installing command within what is left until `deadline`.
process::RunResult run_step(const Command& command, const process::RunOptions& base,
                            Clock::time_point deadline) {
  process::RunOptions options = base;
  options.argv = command;
  options.timeout =
      std::max(std::chrono::milliseconds(0),
               std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
  try {
    return process::run(options);
  } catch (const process::ProcessStartError& e) {
    std::throw_with_nested(
        InstallError("无法运行安装命令 " + command_text(command) + "：" + e.what(), command));
  }
}

// apt-get's words (in the C locale) for a package its lists do not hold yet.
bool package_unknown(const process::RunResult& run) {
  return run.err.find("Unable to locate package") != std::string::npos ||
         run.err.find("has no installation candidate") != std::string::npos;
}

Command install_with_apt(Clock::time_point deadline, std::chrono::seconds bound) {
  const std::string manual = "sudo " + command_text(APT_INSTALL);
  if (::geteuid() != 0) {
    throw InstallError("无法自动安装 Chromium：安装系统软件包需要 root 权限。请执行：" + manual,
                       APT_INSTALL);
  }
  // English messages, so that an unknown package is recognised; no questions asked.
  const process::RunOptions apt{.env = {{"DEBIAN_FRONTEND", "noninteractive"}, {"LC_ALL", "C"}}};
  process::RunResult run = run_step(APT_INSTALL, apt, deadline);
  if (!run.succeeded() && !run.timed_out && package_unknown(run)) {
    const process::RunResult update = run_step(APT_UPDATE, apt, deadline);
    if (!update.succeeded()) {
      throw run_failed("更新软件包列表失败", APT_UPDATE, update, bound, manual);
    }
    run = run_step(APT_INSTALL, apt, deadline);
  }
  if (!run.succeeded()) throw run_failed("安装 Chromium 失败", APT_INSTALL, run, bound, manual);
  return APT_INSTALL;
}

bool is_debian() {
  std::error_code ec;
  return process::find_program("apt-get") && fs::exists("/etc/debian_version", ec);
}

// The platform's installation; returns the command that succeeded.
Command install_for_platform(Clock::time_point deadline, std::chrono::seconds bound) {
#ifdef __APPLE__
  (void)deadline;
  (void)bound;
  throw InstallError("无法自动安装 Chromium：macOS 上请在终端执行 " + command_text(BREW_INSTALL) +
                         "（需要 Homebrew），或把 Google Chrome 安装到“应用程序”文件夹。",
                     BREW_INSTALL);
#else
  if (is_debian()) return install_with_apt(deadline, bound);
  throw InstallError(
      "无法自动安装 Chromium：此系统不支持自动安装。请用系统的包管理器安装 Chromium，"
      "然后把环境变量 VENDRO_CHROMIUM 设为浏览器可执行文件的完整路径。",
      {});
#endif
}

std::optional<std::int64_t> whole_seconds(const std::string& text) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

void check_bound(std::chrono::seconds bound, const std::string& what) {
  if (bound < std::chrono::seconds(1) || bound > MAX_INSTALL_TIMEOUT) {
    throw InputError(what + "必须是 1 到 " + std::to_string(MAX_INSTALL_TIMEOUT.count()) +
                     " 之间的整数秒数");
  }
}

}  // namespace

std::chrono::seconds install_timeout() {
  const std::optional<std::string> value = get_env("VENDRO_BROWSER_INSTALL_TIMEOUT");
  if (!value) return DEFAULT_INSTALL_TIMEOUT;
  const std::string stripped = text::strip(*value);
  const std::optional<std::int64_t> seconds = whole_seconds(stripped);
  if (!seconds || *seconds < 1 || *seconds > MAX_INSTALL_TIMEOUT.count()) {
    throw InputError("环境变量 VENDRO_BROWSER_INSTALL_TIMEOUT 必须是 1 到 " +
                     std::to_string(MAX_INSTALL_TIMEOUT.count()) + " 之间的整数秒数，收到「" +
                     text::first_code_points(stripped, 40) + "」");
  }
  return std::chrono::seconds(*seconds);
}

Json InstallResult::to_json() const {
  return Json{{"ok", true}, {"executable", executable.string()}, {"command", command}};
}

InstallResult install_chromium(const InstallOptions& options) {
  const std::chrono::seconds bound = options.timeout ? *options.timeout : install_timeout();
  check_bound(bound, "安装时限");
  const Clock::time_point deadline = Clock::now() + bound;
  Command command;
  if (const std::optional<std::string> custom = get_env("VENDRO_BROWSER_INSTALLER")) {
    command = split_switches(*custom);
    if (command.empty()) throw InputError("环境变量 VENDRO_BROWSER_INSTALLER 没有给出程序");
    const process::RunResult run = run_step(command, {}, deadline);
    if (!run.succeeded()) {
      throw run_failed("安装 Chromium 失败", command, run, bound, command_text(command));
    }
  } else {
    command = install_for_platform(deadline, bound);
  }
  try {
    return InstallResult{.executable = find_executable(), .command = command};
  } catch (const LaunchError&) {
    std::throw_with_nested(InstallError(
        "安装命令 " + command_text(command) +
            " 已成功结束，但仍找不到 Chromium。请检查安装结果，或用环境变量 VENDRO_CHROMIUM "
            "指定浏览器可执行文件的完整路径。",
        command));
  }
}

const std::vector<std::string>& installer_arguments() {
  static const std::vector<std::string> args = {"-m", "playwright", "install", "chromium"};
  return args;
}

bool is_installer_command(const std::vector<std::string_view>& args) {
  const auto& expected = installer_arguments();
  return args.size() == expected.size() && std::equal(args.begin(), args.end(), expected.begin());
}

void run_installer_child(std::chrono::seconds bound, const fs::path& executable) {
  check_bound(bound, "安装子进程的时限");
  Command command = {executable.empty() ? std::string() : executable.string()};
  try {
    if (command[0].empty()) command[0] = process::current_executable().string();
  } catch (const process::ProcessStartError& e) {
    std::throw_with_nested(InstallError(std::string("无法启动浏览器安装子进程：") + e.what(), {}));
  }
  command.insert(command.end(), installer_arguments().begin(), installer_arguments().end());
  const process::RunOptions options{
      .argv = command,
      .env = {{"VENDRO_BROWSER_INSTALL_TIMEOUT", std::to_string(bound.count())}},
      .timeout = bound + CHILD_MARGIN,
  };
  process::RunResult run;
  try {
    run = process::run(options);
  } catch (const process::ProcessStartError& e) {
    std::throw_with_nested(InstallError(
        "无法启动浏览器安装子进程 " + command_text(command) + "：" + e.what(), command));
  }
  if (run.succeeded()) return;
  throw run_failed("浏览器安装子进程失败", command, run, bound + CHILD_MARGIN,
                   command_text(command));
}

}  // namespace vendro::browser
