// `vendro browser ...`: checks of the Chromium installation the browser-driven commands use.

#include <iostream>

#include "vendro/browser/check.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/cli/groups.hpp"

namespace vendro::cli {

void add_browser_commands(CLI::App& app, Action& selected) {
  CLI::App* group = app.add_subcommand("browser", "检查浏览器（Chromium）环境");
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
}

}  // namespace vendro::cli
