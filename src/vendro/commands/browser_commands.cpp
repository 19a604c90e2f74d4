// `vendro browser ...`: checks and installation of the Chromium the browser-driven commands use.

#include "vendro/browser/check.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/installer.hpp"
#include "vendro/commands/groups.hpp"
#include "vendro/core/text.hpp"

namespace vendro::commands {

void add_browser_commands(Table& table) {
  table.groups.push_back({.path = {"browser"}, .description = "检查或安装浏览器（Chromium）"});

  table.commands.push_back({
      .path = {"browser", "check"},
      .summary = "以 JSON 打印将使用的 Chromium 可执行文件、版本，以及无头启动和打开页面是否成功。",
      .description = "查找顺序：环境变量 VENDRO_CHROMIUM，PATH 中的 chromium / chromium-browser / "
                     "google-chrome，macOS 的 /Applications。VENDRO_CHROMIUM_ARGS "
                     "中的参数会追加到每次启动。",
      .effects = {.read_only = true, .idempotent = true},
      .run =
          [](const Arguments&, Context& context) {
            Json report = browser::check_installation();
            context.output.put(report);
            if (!report["ok"].get<bool>()) {
              const std::string reason =
                  report["hint"].is_string()
                      ? report["hint"].get<std::string>()
                      : "浏览器检查未通过：" + report["error"].get<std::string>();
              throw browser::LaunchError(reason);
            }
          },
  });

  table.commands.push_back({
      .path = {"browser", "install"},
      .summary = "安装 Chromium，成功后以 JSON 打印 {\"ok\", \"executable\", \"command\"}。",
      .description =
          std::string(
              "Debian/Ubuntu：以 root 身份运行 apt-get install -y "
              "chromium（软件包列表里还没有时先运行一次 apt-get update）；不是 root 时提示执行 "
              "sudo apt-get install -y chromium。\n"
              "macOS：不自动安装，提示执行 brew install --cask chromium。其他系统：提示用系统的包"
              "管理器安装，并用 VENDRO_CHROMIUM 指定浏览器。\n"
              "环境变量 VENDRO_BROWSER_INSTALLER 设置后，改为运行其中的命令（不经过 shell，按 "
              "VENDRO_CHROMIUM_ARGS 的方式拆分）；VENDRO_BROWSER_INSTALL_TIMEOUT "
              "为最长安装时间（秒，默认 ") +
          std::to_string(browser::DEFAULT_INSTALL_TIMEOUT.count()) +
          "），超时后安装进程及其子进程都会被终止。",
      .effects = {.idempotent = true, .open_world = true},
      .run =
          [](const Arguments&, Context& context) {
            const std::chrono::seconds bound = browser::install_timeout();
            context.tell("正在安装 Chromium（最长 " + std::to_string(bound.count()) + " 秒）……");
            const browser::InstallResult result = browser::install_chromium({.timeout = bound});
            context.tell("Chromium 已安装：" + text::terminal_safe(result.executable.string()));
            context.output.put(result.to_json());
          },
  });
}

}  // namespace vendro::commands
