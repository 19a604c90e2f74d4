// `vendro rufus ...`: seed capture, question replay and the marketplace list of Amazon's Rufus
// shopping assistant. The cookie header signs the browser in: it is a secret, so it never comes
// as an option's value (the process list shows those) but from a file, standard input or
// VENDRO_RUFUS_COOKIE.

#include <unistd.h>

#include <iostream>
#include <memory>

#include "vendro/amazon_rufus/ask.hpp"
#include "vendro/amazon_rufus/capture.hpp"
#include "vendro/amazon_rufus/marketplaces.hpp"
#include "vendro/cli/command.hpp"
#include "vendro/cli/groups.hpp"
#include "vendro/cli/option_values.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/core/files.hpp"
#include "vendro/core/text.hpp"

namespace vendro::cli {

namespace rufus = amazon_rufus;

namespace {

constexpr const char* COOKIE_ENV = "VENDRO_RUFUS_COOKIE";
constexpr std::size_t COOKIE_LIMIT = 256 * 1024;
constexpr std::size_t STORAGE_STATE_LIMIT = 16 * 1024 * 1024;
constexpr std::size_t QUESTIONS_FILE_LIMIT = 1024 * 1024;
constexpr std::size_t MAX_QUESTIONS = 100;
constexpr double MAX_TIMEOUT_SECONDS = 3600;

struct Args {
  std::string asin;
  std::string country;
  std::string cookie_file;
  std::string cookie;  // only "-"
  std::string storage_state_file;
  std::string page_url;
  double timeout_seconds = 60;
  std::string out;
  std::vector<std::string> questions;
  std::string questions_file;
  std::string seed;
  bool quiet = false;
};

// The sign-in of the browser: the storage state file, else the cookie header from the file, from
// standard input, or from the environment, in this order.
struct SignIn {
  std::optional<std::string> cookie;
  Json storage_state = nullptr;
};

SignIn sign_in_for(const Args& args) {
  SignIn sign_in;
  if (!args.storage_state_file.empty()) {
    const std::string text = files::read(expand_home(args.storage_state_file), STORAGE_STATE_LIMIT);
    sign_in.storage_state = parse_json(text, "--storage-state");
    if (!sign_in.storage_state.is_object()) throw InputError("--storage-state 必须是 JSON 对象");
  } else if (!args.cookie_file.empty()) {
    sign_in.cookie = files::read(expand_home(args.cookie_file), COOKIE_LIMIT);
  } else if (args.cookie == "-") {
    sign_in.cookie = files::read_stdin(COOKIE_LIMIT);
  } else {
    sign_in.cookie = get_env(COOKIE_ENV);
  }
  if (sign_in.cookie && !text::is_valid_utf8(*sign_in.cookie)) {
    throw InputError("cookie 不是合法的 UTF-8 文本");
  }
  return sign_in;
}

std::vector<std::string> questions_for(const Args& args) {
  std::vector<std::string> questions;
  auto add = [&](const std::string& line) {
    std::string question = text::strip(line);
    if (question.empty()) return;
    if (questions.size() == MAX_QUESTIONS) {
      throw InputError("问题过多：一次最多 " + std::to_string(MAX_QUESTIONS) + " 个");
    }
    questions.push_back(std::move(question));
  };
  if (!args.questions_file.empty()) {
    const std::string text = files::read(expand_home(args.questions_file), QUESTIONS_FILE_LIMIT);
    if (!text::is_valid_utf8(text))
      throw InputError("问题文件不是 UTF-8 文本：" + args.questions_file);
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      add(text.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const std::string& question : args.questions) add(question);
  if (questions.empty()) throw InputError("没有要提的问题（--question 或 --questions-file）");
  return questions;
}

std::function<void(const std::string&)> progress_for(const Args& args) {
  if (args.quiet || !::isatty(STDERR_FILENO)) return nullptr;
  return [](const std::string& line) { std::cerr << "· " << line << "\n" << std::flush; };
}

void add_product_options(CLI::App& cmd, Args& args) {
  cmd.add_option("--asin", args.asin, "商品 ASIN")->required();
  cmd.add_option("--country", args.country, "站点代码，如 US、UK、DE、JP（见 rufus marketplaces）")
      ->required();
  auto* cookie_file = cmd.add_option("--cookie-file", args.cookie_file,
                                     "从文件读取登录 cookie（Cookie 请求头的值）");
  auto* cookie =
      cmd.add_option("--cookie", args.cookie,
                     "只能是 -：从标准输入读取 cookie（cookie 是机密，不能直接写在命令行上）")
          ->check(CLI::Validator(
              [](std::string& value) -> std::string {
                if (value == "-") return "";
                return "cookie 不能直接写在命令行上（进程列表可见）：请用 --cookie-file、"
                       "--cookie - 或环境变量 VENDRO_RUFUS_COOKIE";
              },
              "-"));
  auto* storage =
      cmd.add_option("--storage-state", args.storage_state_file,
                     "从浏览器状态文件（JSON，含 cookies 与 origins）登录，代替 cookie");
  cookie_file->excludes(cookie);
  storage->excludes(cookie_file);
  storage->excludes(cookie);
  cmd.add_option("--page-url", args.page_url, "商品页地址；默认按站点与 ASIN 生成");
  cmd.add_option("--timeout", args.timeout_seconds,
                 "捕获的总时限（秒，0 到 3600，含启动浏览器），默认 60")
      ->check(seconds_check(0, MAX_TIMEOUT_SECONDS));
  cmd.add_flag("--quiet,-q", args.quiet, "不在终端显示进度");
}

}  // namespace

void add_rufus_commands(CLI::App& app, Action& selected) {
  CLI::App* group =
      app.add_subcommand("rufus",
                         "亚马逊 Rufus 购物助手：捕获种子请求、按种子重放提问、列出站点。\n"
                         "登录方式（三选一）：--cookie-file 文件、--cookie "
                         "-（标准输入）、--storage-state 浏览器状态文件；"
                         "都没有时读取环境变量 VENDRO_RUFUS_COOKIE。浏览器为无界面 Chromium（见 "
                         "vendro browser check）。");
  group->require_subcommand(1);

  auto capture_args = std::make_shared<Args>();
  CLI::App* capture =
      group->add_subcommand("capture",
                            "打开商品页，捕获它发往 Rufus 的第一个流式请求，以 JSON 打印种子记录"
                            "（request_url、request_headers、request_body、page_url、tab_"
                            "id、asin、country、captured_at）。");
  add_product_options(*capture, *capture_args);
  capture->add_option("--out", capture_args->out,
                      "同时把种子记录写入此文件（权限 0600：其中的请求头含页面的防伪令牌）");
  capture->callback([capture_args, &selected] {
    selected = [args = capture_args]() -> std::optional<Json> {
      const SignIn sign_in = sign_in_for(*args);
      if (auto report = progress_for(*args)) report("正在捕获 Rufus 种子请求…");
      rufus::SeedRequestRecord seed = rufus::HeadlessRufusCaptureService().capture_seed_request({
          .asin = text::strip(args->asin),
          .country = args->country,
          .cookie = sign_in.cookie,
          .storage_state = sign_in.storage_state,
          .timeout_seconds = args->timeout_seconds,
          .page_url = args->page_url.empty() ? std::nullopt : std::optional(args->page_url),
      });
      if (!args->out.empty()) rufus::save_seed(seed, expand_home(args->out));
      return seed.to_json();
    };
  });

  auto ask_args = std::make_shared<Args>();
  CLI::App* ask = group->add_subcommand(
      "ask",
      "在同一会话中依次向 Rufus 提问：先捕获种子请求（或用 --seed "
      "读取已保存的），再在无界面商品页中"
      "重放每个问题。输出 [{\"question\", \"text\", \"thread_id\"}]，按提问顺序。");
  add_product_options(*ask, *ask_args);
  auto* question = ask->add_option("--question", ask_args->questions, "问题（可重复）");
  auto* questions_file = ask->add_option("--questions-file", ask_args->questions_file,
                                         "问题文件：UTF-8，每行一个问题，空行跳过");
  question->excludes(questions_file);
  ask->add_option("--seed", ask_args->seed, "使用 rufus capture --out 保存的种子记录，不再捕获");
  ask->callback([ask_args, &selected] {
    selected = [args = ask_args]() -> std::optional<Json> {
      const SignIn sign_in = sign_in_for(*args);
      std::vector<std::string> questions = questions_for(*args);
      std::optional<rufus::SeedRequestRecord> seed;
      if (!args->seed.empty()) seed = rufus::load_seed(expand_home(args->seed));
      return rufus::asked_to_json(rufus::ask_rufus({
          .asin = text::strip(args->asin),
          .country = args->country,
          .cookie = sign_in.cookie,
          .storage_state = sign_in.storage_state,
          .questions = std::move(questions),
          .seed = std::move(seed),
          .page_url = args->page_url.empty() ? std::nullopt : std::optional(args->page_url),
          .timeout_seconds = args->timeout_seconds,
          .progress = progress_for(*args),
      }));
    };
  });

  CLI::App* marketplaces = group->add_subcommand(
      "marketplaces", "以 JSON 列出支持的亚马逊站点（country、domain 等）；--country 接受这些代码");
  marketplaces->callback([&selected] {
    selected = []() -> std::optional<Json> {
      Json list = Json::array();
      for (const rufus::Marketplace& marketplace : rufus::all_marketplaces()) {
        list.push_back(marketplace.to_json());
      }
      return list;
    };
  });
}

}  // namespace vendro::cli
