// `vendro browser ...`: checks and installation of the Chromium the browser-driven commands use.

#include <iostream>

#include "vendro/browser/check.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/installer.hpp"
#include "vendro/cli/groups.hpp"
#include "vendro/core/text.hpp"

namespace vendro::cli {

void add_browser_commands(CLI::App& app, Action& selected) {
  CLI::App* group = app.add_subcommand("browser", "检查或安装浏览器（Chromium）");
  group->require_subcommand(1);
  CLI::App* check = group->add_subcommand(
      "check",
      "以 JSON 打印将使用的 Chromium 可执行文件、版本，以及无头启动和打开页面是否成功。\n"
      "查找顺序：环境变量 VENDRO_CHROMIUM，PATH 中的 chromium / chromium-browser / "
      "google-chrome，macOS 的 /Applications。VENDRO_CHROMIUM_ARGS 中的参数会追加到每次启动。");
  check->callback([&selected] {
    selected = []() -> std::optional<Json> {
      Json report = browser::check_installation();
      std::cout << to_pretty_json(report) << "\n";
      std::cout.flush();
      if (!report["ok"].get<bool>()) {
        const std::string reason = report["hint"].is_string()
                                       ? report["hint"].get<std::string>()
                                       : "浏览器检查未通过：" + report["error"].get<std::string>();
        throw browser::LaunchError(reason);
      }
      return std::nullopt;
    };
  });

  CLI::App* install = group->add_subcommand(
      "install",
      std::string(
          "安装 Chromium，成功后以 JSON 打印 {\"ok\", \"executable\", \"command\"}。\n"
          "Debian/Ubuntu：以 root 身份运行 apt-get install -y "
          "chromium（软件包列表里还没有时先运行一次 "
          "apt-get update）；不是 root 时提示执行 sudo apt-get install -y chromium。\n"
          "macOS：不自动安装，提示执行 brew install --cask chromium。其他系统：提示用系统的包管理器"
          "安装，并用 VENDRO_CHROMIUM 指定浏览器。\n"
          "环境变量 VENDRO_BROWSER_INSTALLER 设置后，改为运行其中的命令（不经过 shell，按 "
          "VENDRO_CHROMIUM_ARGS 的方式拆分）；VENDRO_BROWSER_INSTALL_TIMEOUT "
          "为最长安装时间（秒，默认 ") +
          std::to_string(browser::DEFAULT_INSTALL_TIMEOUT.count()) +
          "），超时后安装进程及其子进程都会被终止。");
  install->callback([&selected] {
    selected = []() -> std::optional<Json> {
      const std::chrono::seconds bound = browser::install_timeout();
      std::cerr << "正在安装 Chromium（最长 " << bound.count() << " 秒）……" << std::endl;
      const browser::InstallResult result = browser::install_chromium({.timeout = bound});
      std::cerr << "Chromium 已安装：" << text::terminal_safe(result.executable.string())
                << std::endl;
      return result.to_json();
    };
  });
}

}  // namespace vendro::cli
