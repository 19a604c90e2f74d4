// `vendro rufus ...`: seed capture, question replay and the marketplace list of Amazon's Rufus
// shopping assistant. The cookie header signs the browser in: it is a secret, so it never comes
// as an option's value (the process list shows those) but from a file, standard input or
// VENDRO_RUFUS_COOKIE.

#include <memory>

#include "vendro/amazon_rufus/ask.hpp"
#include "vendro/amazon_rufus/capture.hpp"
#include "vendro/amazon_rufus/marketplaces.hpp"
#include "vendro/commands/groups.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/core/files.hpp"
#include "vendro/core/text.hpp"

namespace vendro::commands {

namespace rufus = amazon_rufus;

namespace {

constexpr const char* COOKIE_ENV = "VENDRO_RUFUS_COOKIE";
constexpr std::size_t STORAGE_STATE_LIMIT = 16 * 1024 * 1024;
constexpr std::size_t QUESTIONS_FILE_LIMIT = 1024 * 1024;
constexpr std::size_t MAX_QUESTIONS = 100;
constexpr double MAX_TIMEOUT_SECONDS = 3600;

// The sign-in of the browser: the storage state file, else the cookie header given, else the one
// in the environment.
struct SignIn {
  std::optional<std::string> cookie;
  Json storage_state = nullptr;
};

SignIn sign_in_for(const Arguments& args) {
  SignIn sign_in;
  if (args.has("storage-state")) {
    const std::string text =
        files::read(expand_home(args.text("storage-state")), STORAGE_STATE_LIMIT);
    sign_in.storage_state = parse_json(text, "--storage-state");
    if (!sign_in.storage_state.is_object()) throw InputError("--storage-state 必须是 JSON 对象");
  } else if (args.has("cookie")) {
    sign_in.cookie = args.text("cookie");
  } else {
    sign_in.cookie = get_env(COOKIE_ENV);
  }
  if (sign_in.cookie && !text::is_valid_utf8(*sign_in.cookie)) {
    throw InputError("cookie 不是合法的 UTF-8 文本");
  }
  return sign_in;
}

std::vector<std::string> questions_for(const Arguments& args) {
  std::vector<std::string> questions;
  auto add = [&](const std::string& line) {
    std::string question = text::strip(line);
    if (question.empty()) return;
    if (questions.size() == MAX_QUESTIONS) {
      throw InputError("问题过多：一次最多 " + std::to_string(MAX_QUESTIONS) + " 个");
    }
    questions.push_back(std::move(question));
  };
  if (args.has("questions-file")) {
    const std::string path = args.text("questions-file");
    const std::string text = files::read(expand_home(path), QUESTIONS_FILE_LIMIT);
    if (!text::is_valid_utf8(text)) throw InputError("问题文件不是 UTF-8 文本：" + path);
    std::size_t start = 0;
    while (start <= text.size()) {
      std::size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      add(text.substr(start, end - start));
      start = end + 1;
    }
  }
  for (const std::string& question : args.texts("question")) add(question);
  if (questions.empty()) throw InputError("没有要提的问题（--question 或 --questions-file）");
  return questions;
}

std::optional<std::string> page_url_of(const Arguments& args) {
  const std::string url = args.text("page-url");
  return url.empty() ? std::nullopt : std::optional(url);
}

// What capture and ask both take: the product, the sign-in, the page and the time limit.
std::vector<Param> product_params() {
  return {
      {.name = "asin", .help = "商品 ASIN", .required = true},
      {.name = "country",
       .help = "站点代码，如 US、UK、DE、JP（见 rufus marketplaces）",
       .required = true},
      {.name = "cookie",
       .help = "登录 cookie（Cookie 请求头的值）；不给时读取环境变量 VENDRO_RUFUS_COOKIE",
       .excludes = {"storage-state"},
       .secret = SecretSource::file_or_stdin,
       .secret_env = COOKIE_ENV},
      {.name = "storage-state",
       .help = "从浏览器状态文件（JSON，含 cookies 与 origins）登录，代替 cookie",
       .excludes = {"cookie"}},
      {.name = "page-url", .help = "商品页地址；默认按站点与 ASIN 生成"},
      {.name = "timeout",
       .type = ParamType::seconds,
       .help = "捕获的总时限（秒，0 到 3600，含启动浏览器），默认 60",
       .default_value = 60,
       .min_seconds = 0,
       .max_seconds = MAX_TIMEOUT_SECONDS},
      quiet_param(),
  };
}

Command capture_command() {
  Command command{
      .path = {"rufus", "capture"},
      .summary = "打开商品页，捕获它发往 Rufus 的第一个流式请求，以 JSON 打印种子记录。",
      .description =
          "种子记录的字段：request_url、request_headers、request_body、page_url、"
          "tab_id、asin、country、captured_at。",
      .params = product_params(),
      .effects = {.open_world = true},
      .run =
          [](const Arguments& args, Context& context) {
            const SignIn sign_in = sign_in_for(args);
            context.report("正在捕获 Rufus 种子请求…");
            rufus::SeedRequestRecord seed =
                rufus::HeadlessRufusCaptureService().capture_seed_request({
                    .asin = text::strip(args.text("asin")),
                    .country = args.text("country"),
                    .cookie = sign_in.cookie,
                    .storage_state = sign_in.storage_state,
                    .timeout_seconds = *args.number("timeout"),
                    .page_url = page_url_of(args),
                });
            if (args.has("out")) rufus::save_seed(seed, expand_home(args.text("out")));
            context.output.put(seed.to_json());
          },
  };
  command.params.push_back(
      {.name = "out",
       .help = "同时把种子记录写入此文件（权限 0600：其中的请求头含页面的防伪令牌）"});
  return command;
}

Command ask_command() {
  Command command{
      .path = {"rufus", "ask"},
      .summary = "在同一会话中依次向 Rufus 提问，输出 [{\"question\", \"text\", \"thread_id\"}]。",
      .description =
          "先捕获种子请求（或用 --seed 读取已保存的），再在无界面商品页中重放每个问题；"
          "答案按提问顺序输出。",
      .params = product_params(),
      .effects = {.open_world = true},
      .run =
          [](const Arguments& args, Context& context) {
            const SignIn sign_in = sign_in_for(args);
            std::vector<std::string> questions = questions_for(args);
            std::optional<rufus::SeedRequestRecord> seed;
            if (args.has("seed")) seed = rufus::load_seed(expand_home(args.text("seed")));
            context.output.put(rufus::asked_to_json(rufus::ask_rufus({
                .asin = text::strip(args.text("asin")),
                .country = args.text("country"),
                .cookie = sign_in.cookie,
                .storage_state = sign_in.storage_state,
                .questions = std::move(questions),
                .seed = std::move(seed),
                .page_url = page_url_of(args),
                .timeout_seconds = *args.number("timeout"),
                .progress = context.progress,
            })));
          },
  };
  command.params.push_back({.name = "question",
                            .type = ParamType::text_list,
                            .help = "问题（可重复）",
                            .excludes = {"questions-file"}});
  command.params.push_back({.name = "questions-file",
                            .help = "问题文件：UTF-8，每行一个问题，空行跳过",
                            .excludes = {"question"}});
  command.params.push_back(
      {.name = "seed", .help = "使用 rufus capture --out 保存的种子记录，不再捕获"});
  return command;
}

}  // namespace

void add_rufus_commands(Table& table) {
  table.groups.push_back(
      {.path = {"rufus"},
       .description = "亚马逊 Rufus 购物助手：捕获种子请求、按种子重放提问、列出站点。\n"
                      "登录方式（三选一）：--cookie-file 文件、--cookie -（标准输入）、"
                      "--storage-state 浏览器状态文件；都没有时读取环境变量 VENDRO_RUFUS_COOKIE。"
                      "浏览器为无界面 Chromium（见 vendro browser check）。"});
  table.commands.push_back(capture_command());
  table.commands.push_back(ask_command());
  table.commands.push_back({
      .path = {"rufus", "marketplaces"},
      .summary = "以 JSON 列出支持的亚马逊站点（country、domain 等）；--country 接受这些代码",
      .effects = {.read_only = true, .idempotent = true},
      .run =
          [](const Arguments&, Context& context) {
            Json list = Json::array();
            for (const rufus::Marketplace& marketplace : rufus::all_marketplaces()) {
              list.push_back(marketplace.to_json());
            }
            context.output.put(list);
          },
  });
}

}  // namespace vendro::commands
