// `vendro seller-sprite ...`: SellerSprite (卖家精灵) keyword research collected in a real
// Chromium on a persistent profile, and the account it logs in with.

#include <termios.h>
#include <unistd.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/signal_set.hpp>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "vendro/browser/blocking.hpp"
#include "vendro/cli/command.hpp"
#include "vendro/cli/groups.hpp"
#include "vendro/cli/option_values.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"
#include "vendro/core/job_id.hpp"
#include "vendro/seller_sprite/account_store.hpp"
#include "vendro/seller_sprite/scraper.hpp"

namespace vendro::cli {

namespace {

namespace ss = seller_sprite;

constexpr const char* OUTPUT_DIR_ENV = "VENDRO_SELLERSPRITE_OUTPUT_DIR";
constexpr double MAX_TIMEOUT_SECONDS = 3600;
constexpr std::int64_t MAX_PHRASE_COUNT = 100;
constexpr std::int64_t MAX_TREND_LIMIT = 1000;
// A result with error entries (captcha, no login, missing answers) or a login that did not
// happen exits with this status, so that scripts notice without reading the JSON.
constexpr int INCOMPLETE_STATUS = 3;

// What the options of one command were set to.
struct Args {
  bool headless = false;
  bool headed = false;
  double timeout_seconds = 120;
  bool quiet = false;
  std::string run_dir;
  std::string output_dir;
  bool no_account = false;
  std::string keyword;
  std::string site = "us";
  std::string period = "30d";
  std::optional<std::int64_t> phrase_count;
  std::optional<std::int64_t> trend_limit;
  std::string trend_tabs = "all";
  std::string asin;
  std::string url;
  std::string username;
};

// Which option families a command takes.
enum Takes : unsigned {
  BROWSER = 1,        // --headless|--headed, --timeout
  RUN_DIR = 2,        // --run-dir, --output-dir
  SEARCH = 4,         // --keyword, --site, --period
  PHRASE = 8,         // --phrase-count
  TREND = 16,         // --trend-limit, --trend-tabs
  ACCOUNT = 32,       // --no-account
  REVERSE = 64,       // --asin (required), --site, --period
  ARCHIVE_URL = 128,  // --url (required)
};

bool has_display() {
#ifdef __APPLE__
  return true;
#else
  return get_env("DISPLAY") || get_env("WAYLAND_DISPLAY");
#endif
}

void add_options(CLI::App& cmd, Args& args, unsigned takes) {
  if (takes & BROWSER) {
    auto* headless = cmd.add_flag("--headless", args.headless, "无界面运行浏览器");
    auto* headed = cmd.add_flag("--headed", args.headed, "打开可见的浏览器窗口");
    headless->excludes(headed);
    cmd.add_option("--timeout", args.timeout_seconds, "页面导航超时（秒，1 到 3600），默认 120")
        ->check(seconds_check(1, MAX_TIMEOUT_SECONDS));
  }
  if (takes & RUN_DIR) {
    cmd.add_option("--run-dir", args.run_dir, "结果目录（自动创建）；默认 OUTPUT_DIR/运行ID");
    cmd.add_option("--output-dir", args.output_dir,
                   "输出目录，未给 --run-dir 时在其下新建运行目录；默认取环境变量 "
                   "VENDRO_SELLERSPRITE_OUTPUT_DIR，否则 ~/seller_sprite");
  }
  if (takes & SEARCH) {
    cmd.add_option("--keyword", args.keyword, "要查询的关键词；不填则不输入关键词");
  }
  if (takes & (SEARCH | REVERSE)) {
    cmd.add_option("--site", args.site,
                   "站点：us jp uk de fr it es ca mx in br au ae（不区分大小写），或下拉框中的"
                   "站点名；默认 us");
    cmd.add_option("--period", args.period, "时间范围：30d，或下拉框中的名称；默认 30d");
  }
  if (takes & PHRASE) {
    add_integer_option(cmd, "--phrase-count", args.phrase_count,
                       "高频词的词组长度：1 一个词，2 两个词，其他数字按自定义长度填写；默认 1",
                       {.min = 0, .max = MAX_PHRASE_COUNT});
  }
  if (takes & TREND) {
    add_integer_option(cmd, "--trend-limit", args.trend_limit,
                       "采集前几行关键词的趋势详情；默认 0（不采集）",
                       {.min = 0, .max = MAX_TREND_LIMIT});
    cmd.add_option("--trend-tabs", args.trend_tabs,
                   "趋势标签：all，或逗号分隔的 search google aba ppc market；默认 all");
  }
  if (takes & ACCOUNT) {
    cmd.add_flag("--no-account", args.no_account,
                 "不使用已配置的账号自动登录（账号见 `vendro seller-sprite account`）");
  }
  if (takes & REVERSE) {
    cmd.add_option("--asin", args.asin, "要反查的 ASIN 或产品链接")->required();
  }
  if (takes & ARCHIVE_URL) {
    cmd.add_option("--url", args.url, "要归档的页面地址")->required();
  }
  cmd.add_flag("--quiet,-q", args.quiet, "不在终端显示进度");
}

// Headed where a display exists, headless where none does, unless told.
bool run_headless(const Args& args) {
  if (args.headless) return true;
  if (args.headed) return false;
  return !has_display();
}

ss::SellerSpriteCollectOptions collect_options(const Args& args) {
  ss::SellerSpriteCollectOptions options;
  options.site = args.site;
  options.period = args.period;
  if (!args.keyword.empty()) options.keyword = args.keyword;
  if (!args.asin.empty()) options.asin = args.asin;
  options.frequency_phrase_count = args.phrase_count.value_or(1);
  options.trend_limit = args.trend_limit.value_or(0);
  options.trend_tabs = args.trend_tabs;
  options.url = args.url;
  return options;
}

// --run-dir, else OUTPUT_DIR/RUN_ID; created with its parents and announced on stderr.
std::filesystem::path prepare_run_dir(const Args& args, const std::string& run_id) {
  std::filesystem::path dir;
  if (!args.run_dir.empty()) {
    dir = expand_home(args.run_dir);
  } else {
    std::string output = args.output_dir;
    if (output.empty()) output = get_env(OUTPUT_DIR_ENV).value_or("");
    std::filesystem::path root =
        output.empty() ? home_dir() / "seller_sprite" : expand_home(output);
    dir = root / run_id;
  }
  dir = std::filesystem::absolute(dir);
  files::make_dirs(dir);
  std::cerr << "结果目录：" << dir.string() << "\n";
  return dir;
}

// Progress lines on a terminal's stderr, unless --quiet.
ss::ProgressObserver progress_for(const Args& args) {
  if (args.quiet || !::isatty(STDERR_FILENO)) return nullptr;
  return [](const std::string& message) { std::cerr << "· " << message << "\n" << std::flush; };
}

// Runs one collection on a loop of its own. SIGINT or SIGTERM close the browser politely (the
// profile stays usable) and end the command with 128 + the signal's number; a second signal ends
// it at once (the browser's guard process still takes the browser down).
Json run_collection(ss::SellerSpriteScraper& scraper,
                    const std::function<asio::awaitable<Json>()>& collection) {
  asio::io_context loop;
  asio::signal_set signals(loop, SIGINT, SIGTERM);
  int received = 0;
  std::function<void(const std::error_code&, int)> on_signal;
  on_signal = [&](const std::error_code& error, int number) {
    if (error) return;
    if (received != 0) std::_Exit(128 + number);
    received = number;
    std::cerr << "\n已收到中断信号，正在关闭浏览器…\n" << std::flush;
    asio::co_spawn(loop, scraper.stop_async(), asio::detached);
    signals.async_wait(on_signal);
  };
  signals.async_wait(on_signal);

  std::optional<Json> result;
  std::exception_ptr failure;
  try {
    result = browser::run_blocking(loop, collection());
  } catch (...) {
    failure = std::current_exception();
  }
  signals.cancel();
  if (received != 0) throw Interrupted(received);
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

ss::SellerSpriteScraper make_scraper(const Args& args) {
  return ss::SellerSpriteScraper({
      .headless = run_headless(args),
      .timeout_ms = static_cast<long long>(std::llround(args.timeout_seconds * 1000)),
      .progress = progress_for(args),
  });
}

// The result as printed, with the exit status it calls for.
std::optional<Json> finish(Json result) {
  if (result.contains("errors") && truthy(result["errors"])) {
    result_exit_status() = INCOMPLETE_STATUS;
  }
  return result;
}

std::optional<ss::Account> account_for(const Args& args) {
  if (args.no_account) return std::nullopt;
  return ss::load_account();
}

// One line from standard input, without echo when it is a terminal.
std::string read_password() {
  const bool terminal = ::isatty(STDIN_FILENO);
  termios saved{};
  if (terminal) {
    std::cerr << "请输入卖家精灵密码（输入时不显示）：" << std::flush;
    ::tcgetattr(STDIN_FILENO, &saved);
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string password;
  const bool got = static_cast<bool>(std::getline(std::cin, password));
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
  }
  if (!got) throw InputError("未能从标准输入读到密码（标准输入已关闭）");
  if (!password.empty() && password.back() == '\r') password.pop_back();
  if (password.empty()) throw InputError("密码不能为空");
  return password;
}

using Collection = std::function<asio::awaitable<Json>(ss::SellerSpriteScraper&, const Args&,
                                                       const std::filesystem::path&)>;

// A command that opens a browser and writes a run directory.
void add_collection_command(CLI::App& group, Action& selected, const std::string& name,
                            const std::string& description, unsigned takes,
                            const std::string& footer, Collection collection) {
  auto args = std::make_shared<Args>();
  CLI::App* cmd = group.add_subcommand(name, description);
  add_options(*cmd, *args, takes | BROWSER | RUN_DIR);
  cmd->footer(footer);
  cmd->callback([args, name, collection, &selected] {
    selected = [args, name, collection]() -> std::optional<Json> {
      ss::SellerSpriteScraper scraper = make_scraper(*args);
      const std::string run_id = build_job_id("seller-sprite", name);
      const std::filesystem::path run_dir = prepare_run_dir(*args, run_id);
      Json result = run_collection(scraper, [&]() { return collection(scraper, *args, run_dir); });
      return finish(std::move(result));
    };
  });
}

constexpr const char* EXIT_STATUS_HELP =
    "退出码：0 成功；3 结果的 errors 非空（验证码、未登录、接口响应未捕获）；1 出错；2 用法错误；"
    "130/143 被 Ctrl-C 或 SIGTERM 中断（浏览器会被正常关闭）。";

std::string collection_footer(const std::string& example) {
  return example +
         "\n结果以 JSON 输出到标准输出，结果目录打印在标准错误（结果目录：DIR）。\n"
         "有图形界面时默认打开浏览器窗口，没有 DISPLAY/WAYLAND_DISPLAY 时默认无界面运行。\n"
         "浏览器配置目录（保存登录状态）：CONFIG_DIR/seller_sprite/browser_profile。\n"
         "卖家精灵地址可用环境变量 VENDRO_SELLERSPRITE_ORIGIN 修改（默认 "
         "https://www.sellersprite.com）。\n" +
         EXIT_STATUS_HELP;
}

void add_account_commands(CLI::App& group, Action& selected) {
  CLI::App* account = group.add_subcommand(
      "account",
      "管理自动登录用的卖家精灵账号（CONFIG_DIR/seller_sprite/account.yaml，权限 0600）");
  account->require_subcommand(1);
  account->footer(
      "环境变量 VENDRO_SELLERSPRITE_USERNAME、VENDRO_SELLERSPRITE_PASSWORD 优先于文件中的值。\n"
      "collect 和 reverse 在未登录时用该账号自动登录（--no-account 可关闭）。");

  auto username = std::make_shared<std::string>();
  CLI::App* set = account->add_subcommand(
      "set", "保存账号：用户名由 --username 给出，密码从标准输入读取（终端上不回显）");
  set->add_option("--username", *username, "卖家精灵用户名（手机号/邮箱）")->required();
  set->callback([username, &selected] {
    selected = [username]() -> std::optional<Json> {
      if (username->empty()) throw InputError("卖家精灵用户名不能为空");
      ss::save_account(*username, read_password());
      Json result = Json::object();
      result["saved"] = true;
      result["username"] = *username;
      result["file"] = ss::account_file().string();
      return result;
    };
  });

  CLI::App* show = account->add_subcommand("show", "显示已配置的账号（不显示密码）");
  show->callback(
      [&selected] { selected = []() -> std::optional<Json> { return ss::describe_account(); }; });

  CLI::App* clear = account->add_subcommand("clear", "删除保存的账号文件");
  clear->callback([&selected] {
    selected = []() -> std::optional<Json> {
      Json result = Json::object();
      result["removed"] = ss::clear_account();
      result["file"] = ss::account_file().string();
      return result;
    };
  });
}

}  // namespace

void add_seller_sprite_commands(CLI::App& app, Action& selected) {
  CLI::App* group = app.add_subcommand(
      "seller-sprite", "卖家精灵：在真实的 Chromium 中采集关键词挖掘、高频词、ASIN 反查和趋势详情");
  group->require_subcommand(1);
  group->footer(
      "先运行 `vendro seller-sprite login` 在浏览器中登录一次（登录状态保存在浏览器配置目录中），"
      "或用 `vendro seller-sprite account set` 保存账号以便自动登录。");

  {
    auto args = std::make_shared<Args>();
    CLI::App* login = group->add_subcommand(
        "login", "打开卖家精灵登录页，在浏览器中登录后回到终端按回车，输出是否已登录");
    add_options(*login, *args, BROWSER);
    login->footer(std::string("输出 JSON：profile_dir、current_url、logged_in。\n") +
                  "未登录成功时退出码为 3；标准输入关闭时退出码为 1。");
    login->callback([args, &selected] {
      selected = [args]() -> std::optional<Json> {
        ss::SellerSpriteScraper scraper = make_scraper(*args);
        Json result = run_collection(scraper, [&]() { return scraper.login_async(); });
        if (!result.value("logged_in", false)) result_exit_status() = INCOMPLETE_STATUS;
        return result;
      };
    });
  }

  add_collection_command(
      *group, selected, "status", "检查登录状态和验证码，并归档关键词挖掘页（不登录）", 0,
      collection_footer("示例：vendro seller-sprite status --headless"),
      [](ss::SellerSpriteScraper& scraper, const Args& args, const std::filesystem::path& dir) {
        ss::RunRequest request{.options = collect_options(args), .run_id = "", .run_dir = dir};
        return scraper.login_status_async(request);
      });

  add_collection_command(
      *group, selected, "collect", "关键词挖掘 + 高频词（一次查询），可选趋势详情",
      SEARCH | PHRASE | TREND | ACCOUNT,
      collection_footer("示例：vendro seller-sprite collect --keyword 'wireless earbuds' --site us "
                        "--trend-limit 3"),
      [](ss::SellerSpriteScraper& scraper, const Args& args, const std::filesystem::path& dir) {
        ss::CollectRequest request{.options = collect_options(args),
                                   .run_id = dir.filename().string(),
                                   .run_dir = dir,
                                   .account = account_for(args)};
        return scraper.collect_async(request);
      });

  add_collection_command(
      *group, selected, "frequency", "只采集高频词", SEARCH | PHRASE,
      collection_footer("示例：vendro seller-sprite frequency --keyword earbuds --phrase-count 2"),
      [](ss::SellerSpriteScraper& scraper, const Args& args, const std::filesystem::path& dir) {
        ss::RunRequest request{
            .options = collect_options(args), .run_id = dir.filename().string(), .run_dir = dir};
        return scraper.collect_frequency_async(request);
      });

  add_collection_command(
      *group, selected, "mining", "只采集关键词挖掘，可选趋势详情", SEARCH | TREND,
      collection_footer("示例：vendro seller-sprite mining --keyword earbuds --trend-limit 2"),
      [](ss::SellerSpriteScraper& scraper, const Args& args, const std::filesystem::path& dir) {
        ss::RunRequest request{
            .options = collect_options(args), .run_id = dir.filename().string(), .run_dir = dir};
        return scraper.collect_keyword_mining_async(request);
      });

  add_collection_command(
      *group, selected, "reverse", "按 ASIN 反查关键词（反查、高频词、月度、统计），可选趋势详情",
      REVERSE | TREND | ACCOUNT,
      collection_footer("示例：vendro seller-sprite reverse --asin B0AAAAAAA1 --site us"),
      [](ss::SellerSpriteScraper& scraper, const Args& args, const std::filesystem::path& dir) {
        ss::CollectRequest request{.options = collect_options(args),
                                   .run_id = dir.filename().string(),
                                   .run_dir = dir,
                                   .account = account_for(args)};
        return scraper.collect_keyword_reverse_async(request);
      });

  add_collection_command(
      *group, selected, "archive", "打开任意页面并归档（HTML、整页截图、地址），报告是否有验证码",
      ARCHIVE_URL,
      collection_footer("示例：vendro seller-sprite archive --url https://www.sellersprite.com/"),
      [](ss::SellerSpriteScraper& scraper, const Args& args, const std::filesystem::path& dir) {
        ss::RunRequest request{
            .options = collect_options(args), .run_id = dir.filename().string(), .run_dir = dir};
        return scraper.archive_url_async(request);
      });

  add_account_commands(*group, selected);
}

}  // namespace vendro::cli
