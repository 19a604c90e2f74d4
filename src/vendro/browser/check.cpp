#include "vendro/browser/check.hpp"

#include <asio/io_context.hpp>

#include "vendro/browser/blocking.hpp"
#include "vendro/browser/browser.hpp"
#include "vendro/browser/executable.hpp"

namespace vendro::browser {

const char* const INSTALL_HINT =
    "未找到 Chromium 浏览器。Debian/Ubuntu：sudo apt-get install chromium；"
    "macOS：安装 Google Chrome 或 Chromium 到 /Applications（应用程序）文件夹。"
    "也可以用环境变量 VENDRO_CHROMIUM 指定浏览器可执行文件的完整路径。";

namespace {
// A working browser answers within a few seconds even on a busy machine; an executable that is
// not one must not hold the check for the usual 30.
constexpr long long CHECK_LAUNCH_TIMEOUT_MS = 15000;
}  // namespace

Json check_installation() {
  Json report = {{"ok", false},        {"executable", nullptr},
                 {"version", nullptr}, {"headless_launch", false},
                 {"page_load", false}, {"error", nullptr},
                 {"hint", nullptr}};
  std::optional<std::filesystem::path> executable;
  try {
    executable = find_executable();
  } catch (const std::exception& e) {
    report["error"] = e.what();
    report["hint"] = INSTALL_HINT;
    return report;
  }
  report["executable"] = executable->string();
  if (auto version = executable_version(*executable)) report["version"] = *version;

  asio::io_context io;
  std::shared_ptr<Browser> browser;
  try {
    const LaunchOptions options{.executable = *executable, .timeout_ms = CHECK_LAUNCH_TIMEOUT_MS};
    browser = run_blocking(io, launch(options));
    report["headless_launch"] = true;
    if (report["version"].is_null()) report["version"] = browser->version();
    auto context = run_blocking(io, browser->new_context());
    auto page = run_blocking(io, context->new_page());
    run_blocking(io, page->goto_url("data:text/html,<title>vendro-ok</title>"));
    report["page_load"] = run_blocking(io, page->evaluate("document.title")) == "vendro-ok";
    if (!report["page_load"].get<bool>()) report["error"] = "页面打开了，但内容不对";
  } catch (const std::exception& e) {
    report["error"] = e.what();
  }
  if (browser) {
    try {
      run_blocking(io, browser->close());
    } catch (const std::exception&) {
      // Dropping the browser below kills it anyway.
    }
  }
  report["ok"] = report["headless_launch"].get<bool>() && report["page_load"].get<bool>();
  return report;
}

}  // namespace vendro::browser
