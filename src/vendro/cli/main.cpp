// The `vendro` executable: parses the command line, runs the chosen module call, prints its
// result as JSON on stdout. Failures print the Chinese message and code on stderr and exit 1;
// usage errors exit 2.

#include <CLI/CLI.hpp>
#include <iostream>

#include "vendro/browser/installer.hpp"
#include "vendro/cli/command_line.hpp"
#include "vendro/cli/mcp_command.hpp"
#include "vendro/commands/command_table.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/text.hpp"

namespace {

using vendro::cli::Action;

// The most deeply nested subcommand that was given, whose help fits a usage error best.
const CLI::App* deepest_selected(const CLI::App& app) {
  for (const CLI::App* sub : app.get_subcommands()) return deepest_selected(*sub);
  return &app;
}

// A Chinese lead-in for CLI11's (English) parse errors; the detail names the option concerned.
const char* usage_error_kind(const CLI::ParseError& error) {
  if (dynamic_cast<const CLI::RequiredError*>(&error)) return "缺少必需的参数或子命令";
  if (dynamic_cast<const CLI::ExtrasError*>(&error)) return "无法识别的参数";
  if (dynamic_cast<const CLI::ConversionError*>(&error)) return "参数值无法转换";
  if (dynamic_cast<const CLI::ValidationError*>(&error)) return "参数值无效";
  if (dynamic_cast<const CLI::ArgumentMismatch*>(&error)) return "参数个数不对";
  if (dynamic_cast<const CLI::ExcludesError*>(&error)) return "参数不能同时使用";
  if (dynamic_cast<const CLI::RequiresError*>(&error)) return "参数缺少搭配的参数";
  return "参数错误";
}

// "vendro keepa" for `vendro keepa convert`: the names above `app`, for its usage line.
std::string parent_path(const CLI::App& app) {
  std::string path;
  for (const CLI::App* parent = app.get_parent(); parent; parent = parent->get_parent()) {
    path.insert(0, path.empty() ? parent->get_name() : parent->get_name() + " ");
  }
  return path;
}

// For a group given a word that is none of its subcommands: the word and what would do.
std::string unknown_subcommand(const CLI::App& where) {
  const std::vector<std::string> left = where.remaining();
  if (left.empty() || where.get_subcommands({}).empty()) return "";
  std::string known;
  for (const CLI::App* sub : where.get_subcommands({})) {
    known += (known.empty() ? "" : "、") + sub->get_name();
  }
  return "未知的子命令「" + left.front() + "」，可用：" + known;
}

int report_usage_error(const CLI::App& app, const CLI::ParseError& error) {
  const CLI::App* where = deepest_selected(app);
  const std::string unknown = unknown_subcommand(*where);
  if (!unknown.empty()) {
    std::cerr << "用法错误：" << vendro::text::terminal_safe(unknown) << "\n\n";
  } else {
    std::cerr << "用法错误（" << usage_error_kind(error) << "）："
              << vendro::text::terminal_safe(error.what()) << "\n\n";
  }
  std::cerr << where->help(parent_path(*where));
  return 2;
}

// Help in Chinese: CLI11 builds its help from these labels and group names.
void localise_help(CLI::App& app) {
  auto formatter = app.get_formatter();
  formatter->label("Usage", "用法");
  formatter->label("OPTIONS", "选项");
  formatter->label("SUBCOMMAND", "子命令");
  formatter->label("SUBCOMMANDS", "子命令");
  formatter->label("Positionals", "位置参数");
  formatter->label("Subcommands", "子命令");
  formatter->label("Excludes", "不能与以下同用");
  formatter->label("Needs", "需要");
  app.option_defaults()->group("选项");
}

// CLI11 names the default groups of every subcommand in English; rename them once all groups
// are registered.
void localise_groups(CLI::App& app) {
  for (CLI::Option* option : app.get_options()) {
    if (option->get_group() == "Options") option->group("选项");
  }
  for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
    if (sub->get_group() == "Subcommands") sub->group("子命令");
    localise_groups(*sub);
  }
}

// Messages carry text from outside (server answers, arguments): nothing in them may drive the
// terminal.
int report_failure(const std::exception& error) {
  if (const auto* interrupted = dynamic_cast<const vendro::commands::Interrupted*>(&error)) {
    std::cerr << interrupted->what() << "\n";
    return 128 + interrupted->signal_number;
  }
  std::cerr << vendro::text::terminal_safe(vendro::failure_report(error)) << "\n";
  return 1;
}

// `vendro -m playwright install chromium`. A capture that finds no Chromium repairs itself once
// by running its own program with exactly these arguments, the command line its messages tell
// operators to run; vendro answers it by installing Chromium like `vendro browser install`, but
// prints nothing on stdout. Not in --help: operators use `vendro browser install`.
int answer_installer_command() {
  try {
    vendro::browser::install_chromium();
    return 0;
  } catch (const std::exception& e) {
    return report_failure(e);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (vendro::browser::is_installer_command(std::vector<std::string_view>(argv + 1, argv + argc))) {
    return answer_installer_command();
  }
  CLI::App app{"vendro：跨境电商运营工具箱（亚马逊站点、Shopify 店铺）。", "vendro"};
  localise_help(app);
  app.set_version_flag("--version", vendro::get_version(), "显示版本号并退出");
  app.set_help_flag("-h,--help", "显示帮助并退出");
  app.require_subcommand(1);
  Action selected;
  vendro::cli::add_table_commands(app, selected);
  vendro::cli::add_mcp_command(app, selected);
  localise_groups(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    return report_usage_error(app, e);
  } catch (const std::exception& e) {
    return report_failure(e);
  }
  if (!selected) return 0;

  try {
    // The tool server never runs the update check: its output is the protocol's.
    if (!app.got_subcommand("mcp")) vendro::cli::before_command();
    return selected();
  } catch (const std::exception& e) {
    return report_failure(e);
  }
  return 0;
}
