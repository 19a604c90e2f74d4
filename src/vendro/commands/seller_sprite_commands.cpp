// `vendro seller-sprite ...`: SellerSprite (卖家精灵) keyword research collected in a real
// Chromium on a persistent profile, and the account it logs in with.

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/signal_set.hpp>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "vendro/browser/blocking.hpp"
#include "vendro/commands/groups.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"
#include "vendro/core/job_id.hpp"
#include "vendro/seller_sprite/account_store.hpp"
#include "vendro/seller_sprite/scraper.hpp"

namespace vendro::commands {

namespace {

namespace ss = seller_sprite;

constexpr const char* OUTPUT_DIR_ENV = "VENDRO_SELLERSPRITE_OUTPUT_DIR";
constexpr double MAX_TIMEOUT_SECONDS = 3600;
constexpr std::int64_t MAX_PHRASE_COUNT = 100;
constexpr std::int64_t MAX_TREND_LIMIT = 1000;
// A result with error entries (captcha, no login, missing answers) or a login that did not
// happen exits with this status, so that scripts notice without reading the JSON.
constexpr int INCOMPLETE_STATUS = 3;
// Every command that opens the browser uses the one persistent profile: one at a time.
constexpr const char* PROFILE_RESOURCE = "seller-sprite-profile";

// Which param families a command takes.
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

std::vector<Param> params_for(unsigned takes) {
  std::vector<Param> params;
  if (takes & BROWSER) {
    params.push_back({.name = "headless",
                      .type = ParamType::flag,
                      .help = "无界面运行浏览器",
                      .excludes = {"headed"}});
    params.push_back({.name = "headed",
                      .type = ParamType::flag,
                      .help = "打开可见的浏览器窗口",
                      .excludes = {"headless"}});
    params.push_back({.name = "timeout",
                      .type = ParamType::seconds,
                      .help = "页面导航超时（秒，1 到 3600），默认 120",
                      .default_value = 120,
                      .min_seconds = 1,
                      .max_seconds = MAX_TIMEOUT_SECONDS});
  }
  if (takes & RUN_DIR) {
    params.push_back({.name = "run-dir", .help = "结果目录（自动创建）；默认 OUTPUT_DIR/运行ID"});
    params.push_back({.name = "output-dir",
                      .help = "输出目录，未给 --run-dir 时在其下新建运行目录；默认取环境变量 "
                              "VENDRO_SELLERSPRITE_OUTPUT_DIR，否则 ~/seller_sprite"});
  }
  if (takes & SEARCH) {
    params.push_back({.name = "keyword", .help = "要查询的关键词；不填则不输入关键词"});
  }
  if (takes & REVERSE) {
    params.push_back({.name = "asin", .help = "要反查的 ASIN 或产品链接", .required = true});
  }
  if (takes & (SEARCH | REVERSE)) {
    params.push_back({.name = "site",
                      .help = "站点：us jp uk de fr it es ca mx in br au ae（不区分大小写），或下拉"
                              "框中的站点名；默认 us",
                      .default_value = "us"});
    params.push_back({.name = "period",
                      .help = "时间范围：30d，或下拉框中的名称；默认 30d",
                      .default_value = "30d"});
  }
  if (takes & PHRASE) {
    params.push_back(
        {.name = "phrase-count",
         .type = ParamType::integer,
         .help = "高频词的词组长度：1 一个词，2 两个词，其他数字按自定义长度填写；默认 1",
         .default_value = 1,
         .integer_rules = {.min = 0, .max = MAX_PHRASE_COUNT}});
  }
  if (takes & TREND) {
    params.push_back({.name = "trend-limit",
                      .type = ParamType::integer,
                      .help = "采集前几行关键词的趋势详情；默认 0（不采集）",
                      .default_value = 0,
                      .integer_rules = {.min = 0, .max = MAX_TREND_LIMIT}});
    params.push_back({.name = "trend-tabs",
                      .help = "趋势标签：all，或逗号分隔的 search google aba ppc market；默认 all",
                      .default_value = "all"});
  }
  if (takes & ACCOUNT) {
    params.push_back(
        {.name = "no-account",
         .type = ParamType::flag,
         .help = "不使用已配置的账号自动登录（账号见 `vendro seller-sprite account`）"});
  }
  if (takes & ARCHIVE_URL) {
    params.push_back({.name = "url", .help = "要归档的页面地址", .required = true});
  }
  params.push_back(quiet_param());
  return params;
}

// Headed where a display exists, headless where none does, unless told.
bool run_headless(const Arguments& args) {
  if (args.flag("headless")) return true;
  if (args.flag("headed")) return false;
  return !has_display();
}

ss::SellerSpriteCollectOptions collect_options(const Arguments& args) {
  ss::SellerSpriteCollectOptions options;
  options.site = args.text("site", "us");
  options.period = args.text("period", "30d");
  if (!args.text("keyword").empty()) options.keyword = args.text("keyword");
  if (!args.text("asin").empty()) options.asin = args.text("asin");
  options.frequency_phrase_count = args.integer("phrase-count").value_or(1);
  options.trend_limit = args.integer("trend-limit").value_or(0);
  options.trend_tabs = args.text("trend-tabs", "all");
  options.url = args.text("url");
  return options;
}

// --run-dir, else OUTPUT_DIR/RUN_ID; created with its parents and announced.
std::filesystem::path prepare_run_dir(const Arguments& args, const std::string& run_id,
                                      const Context& context) {
  std::filesystem::path dir;
  if (!args.text("run-dir").empty()) {
    dir = expand_home(args.text("run-dir"));
  } else {
    std::string output = args.text("output-dir");
    if (output.empty()) output = get_env(OUTPUT_DIR_ENV).value_or("");
    std::filesystem::path root =
        output.empty() ? home_dir() / "seller_sprite" : expand_home(output);
    dir = root / run_id;
  }
  dir = std::filesystem::absolute(dir);
  files::make_dirs(dir);
  context.tell("结果目录：" + dir.string());
  return dir;
}

// Runs one collection on a loop of its own. On a terminal, SIGINT or SIGTERM close the browser
// politely (the profile stays usable) and end the command with 128 + the signal's number; a
// second signal ends it at once (the browser's guard process still takes the browser down). For
// a tool call, cancelling it closes the browser the same way and ends it as Cancelled.
Json run_collection(ss::SellerSpriteScraper& scraper, const Context& context,
                    const std::function<asio::awaitable<Json>()>& collection) {
  asio::io_context loop;
  asio::signal_set signals(loop);
  int received = 0;
  std::function<void(const std::error_code&, int)> on_signal;
  if (context.front == Front::terminal) {
    signals.add(SIGINT);
    signals.add(SIGTERM);
    on_signal = [&](const std::error_code& error, int number) {
      if (error) return;
      if (received != 0) std::_Exit(128 + number);
      received = number;
      context.tell("\n已收到中断信号，正在关闭浏览器…");
      asio::co_spawn(loop, scraper.stop_async(), asio::detached);
      signals.async_wait(on_signal);
    };
    signals.async_wait(on_signal);
  }
  std::atomic<bool> cancelled{false};
  std::shared_ptr<void> registration;
  if (context.on_cancel) {
    registration = context.on_cancel([&loop, &scraper, &cancelled] {
      cancelled = true;
      asio::post(loop,
                 [&loop, &scraper] { asio::co_spawn(loop, scraper.stop_async(), asio::detached); });
    });
  }

  std::optional<Json> result;
  std::exception_ptr failure;
  try {
    result = browser::run_blocking(loop, collection());
  } catch (...) {
    failure = std::current_exception();
  }
  registration.reset();
  signals.cancel();
  if (received != 0) throw Interrupted(received);
  if (cancelled) throw Cancelled("已取消，浏览器已关闭");
  if (failure) std::rethrow_exception(failure);
  return std::move(*result);
}

ss::SellerSpriteScraper make_scraper(const Arguments& args, const Context& context) {
  return ss::SellerSpriteScraper({
      .headless = run_headless(args),
      .timeout_ms = static_cast<long long>(std::llround(*args.number("timeout") * 1000)),
      .person = context.person,
      .progress = context.progress,
  });
}

// Hands the result over, with the exit status it calls for.
void finish(Json result, Context& context) {
  if (result.contains("errors") && truthy(result["errors"]))
    context.exit_status = INCOMPLETE_STATUS;
  context.output.put(result);
}

std::optional<ss::Account> account_for(const Arguments& args) {
  if (args.flag("no-account")) return std::nullopt;
  return ss::load_account();
}

using Collection = std::function<asio::awaitable<Json>(ss::SellerSpriteScraper&, const Arguments&,
                                                       const std::filesystem::path&)>;

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

// A command that opens the browser and writes a run directory.
Command collection_command(const std::string& name, const std::string& summary, unsigned takes,
                           const std::string& example, Collection collection) {
  return {
      .path = {"seller-sprite", name},
      .summary = summary,
      .footer = collection_footer(example),
      .params = params_for(takes | BROWSER | RUN_DIR),
      .effects = {.open_world = true},
      .exclusive_resource = PROFILE_RESOURCE,
      .run =
          [name, collection](const Arguments& args, Context& context) {
            ss::SellerSpriteScraper scraper = make_scraper(args, context);
            const std::string run_id = build_job_id("seller-sprite", name);
            const std::filesystem::path run_dir = prepare_run_dir(args, run_id, context);
            finish(run_collection(scraper, context,
                                  [&]() { return collection(scraper, args, run_dir); }),
                   context);
          },
  };
}

ss::RunRequest run_request(const Arguments& args, const std::filesystem::path& dir) {
  return {.options = collect_options(args), .run_id = dir.filename().string(), .run_dir = dir};
}

ss::CollectRequest collect_request(const Arguments& args, const std::filesystem::path& dir) {
  return {.options = collect_options(args),
          .run_id = dir.filename().string(),
          .run_dir = dir,
          .account = account_for(args)};
}

void add_account_commands(Table& table) {
  table.groups.push_back(
      {.path = {"seller-sprite", "account"},
       .description =
           "管理自动登录用的卖家精灵账号（CONFIG_DIR/seller_sprite/account.yaml，权限 0600）",
       .footer = "环境变量 VENDRO_SELLERSPRITE_USERNAME、VENDRO_SELLERSPRITE_PASSWORD "
                 "优先于文件中的值。\ncollect 和 reverse 在未登录时用该账号自动登录（--no-account "
                 "可关闭）。"});

  table.commands.push_back({
      .path = {"seller-sprite", "account", "set"},
      .summary = "保存账号：用户名由 --username 给出，密码从标准输入读取（终端上不回显）",
      .params = {{.name = "username", .help = "卖家精灵用户名（手机号/邮箱）", .required = true},
                 {.name = "password",
                  .help = "卖家精灵密码",
                  .required = true,
                  .secret = SecretSource::stdin_prompt}},
      .effects = {.destructive = true, .idempotent = true},
      .run =
          [](const Arguments& args, Context& context) {
            const std::string username = args.text("username");
            if (username.empty()) throw InputError("卖家精灵用户名不能为空");
            const std::string password = args.text("password");
            if (password.empty()) throw InputError("密码不能为空");
            ss::save_account(username, password);
            Json result = Json::object();
            result["saved"] = true;
            result["username"] = username;
            result["file"] = ss::account_file().string();
            context.output.put(result);
          },
  });

  table.commands.push_back({
      .path = {"seller-sprite", "account", "show"},
      .summary = "显示已配置的账号（不显示密码）",
      .effects = {.read_only = true, .idempotent = true},
      .run = [](const Arguments&, Context& context) { context.output.put(ss::describe_account()); },
  });

  table.commands.push_back({
      .path = {"seller-sprite", "account", "clear"},
      .summary = "删除保存的账号文件",
      .effects = {.destructive = true, .idempotent = true},
      .run =
          [](const Arguments&, Context& context) {
            Json result = Json::object();
            result["removed"] = ss::clear_account();
            result["file"] = ss::account_file().string();
            context.output.put(result);
          },
  });
}

}  // namespace

void add_seller_sprite_commands(Table& table) {
  table.groups.push_back(
      {.path = {"seller-sprite"},
       .description = "卖家精灵：在真实的 Chromium 中采集关键词挖掘、高频词、ASIN 反查和趋势详情",
       .footer = "先运行 `vendro seller-sprite login` 在浏览器中登录一次（登录状态保存在浏览器配置"
                 "目录中），或用 `vendro seller-sprite account set` 保存账号以便自动登录。"});

  table.commands.push_back({
      .path = {"seller-sprite", "login"},
      .summary = "打开卖家精灵登录页，在浏览器中登录后回到终端按回车，输出是否已登录",
      .footer = "输出 JSON：profile_dir、current_url、logged_in。\n"
                "未登录成功时退出码为 3；标准输入关闭时退出码为 1。",
      .params = params_for(BROWSER),
      .effects = {.idempotent = true, .open_world = true},
      .exclusive_resource = PROFILE_RESOURCE,
      .run =
          [](const Arguments& args, Context& context) {
            ss::SellerSpriteScraper scraper = make_scraper(args, context);
            Json result = run_collection(scraper, context, [&]() { return scraper.login_async(); });
            if (!result.value("logged_in", false)) context.exit_status = INCOMPLETE_STATUS;
            context.output.put(result);
          },
  });

  table.commands.push_back(collection_command(
      "status", "检查登录状态和验证码，并归档关键词挖掘页（不登录）", 0,
      "示例：vendro seller-sprite status --headless",
      [](ss::SellerSpriteScraper& scraper, const Arguments& args,
         const std::filesystem::path& dir) {
        ss::RunRequest request{.options = collect_options(args), .run_id = "", .run_dir = dir};
        return scraper.login_status_async(request);
      }));

  table.commands.push_back(collection_command(
      "collect", "关键词挖掘 + 高频词（一次查询），可选趋势详情", SEARCH | PHRASE | TREND | ACCOUNT,
      "示例：vendro seller-sprite collect --keyword 'wireless earbuds' --site us --trend-limit 3",
      [](ss::SellerSpriteScraper& scraper, const Arguments& args,
         const std::filesystem::path& dir) {
        return scraper.collect_async(collect_request(args, dir));
      }));

  table.commands.push_back(
      collection_command("frequency", "只采集高频词", SEARCH | PHRASE,
                         "示例：vendro seller-sprite frequency --keyword earbuds --phrase-count 2",
                         [](ss::SellerSpriteScraper& scraper, const Arguments& args,
                            const std::filesystem::path& dir) {
                           return scraper.collect_frequency_async(run_request(args, dir));
                         }));

  table.commands.push_back(
      collection_command("mining", "只采集关键词挖掘，可选趋势详情", SEARCH | TREND,
                         "示例：vendro seller-sprite mining --keyword earbuds --trend-limit 2",
                         [](ss::SellerSpriteScraper& scraper, const Arguments& args,
                            const std::filesystem::path& dir) {
                           return scraper.collect_keyword_mining_async(run_request(args, dir));
                         }));

  table.commands.push_back(collection_command(
      "reverse", "按 ASIN 反查关键词（反查、高频词、月度、统计），可选趋势详情",
      REVERSE | TREND | ACCOUNT, "示例：vendro seller-sprite reverse --asin B0AAAAAAA1 --site us",
      [](ss::SellerSpriteScraper& scraper, const Arguments& args,
         const std::filesystem::path& dir) {
        return scraper.collect_keyword_reverse_async(collect_request(args, dir));
      }));

  table.commands.push_back(collection_command(
      "archive", "打开任意页面并归档（HTML、整页截图、地址），报告是否有验证码", ARCHIVE_URL,
      "示例：vendro seller-sprite archive --url https://www.sellersprite.com/",
      [](ss::SellerSpriteScraper& scraper, const Arguments& args,
         const std::filesystem::path& dir) {
        return scraper.archive_url_async(run_request(args, dir));
      }));

  add_account_commands(table);
}

}  // namespace vendro::commands
