// Asking Rufus: seed, signed-in product page, replay.

#include "vendro/amazon_rufus/ask.hpp"

#include "vendro/amazon_rufus/capture.hpp"
#include "vendro/amazon_rufus/errors.hpp"
#include "vendro/amazon_rufus/marketplaces.hpp"
#include "vendro/amazon_rufus/replay.hpp"
#include "vendro/amazon_rufus/seed_request.hpp"
#include "vendro/browser/blocking.hpp"
#include "vendro/core/text.hpp"

namespace vendro::amazon_rufus {

namespace blocking = browser::blocking;

namespace {

void report(const AskOptions& options, const std::string& line) {
  if (options.progress) options.progress(line);
}

SeedRequestRecord seed_for(const AskOptions& options, const Marketplace& marketplace) {
  if (!options.seed) {
    report(options, "正在捕获 Rufus 种子请求（最多 " +
                        std::to_string(static_cast<long long>(options.timeout_seconds)) + " 秒）…");
    return HeadlessRufusCaptureService().capture_seed_request({
        .asin = options.asin,
        .country = options.country,
        .cookie = options.cookie,
        .storage_state = options.storage_state,
        .timeout_seconds = options.timeout_seconds,
        .page_url = options.page_url,
    });
  }
  const SeedRequestRecord& seed = *options.seed;
  const std::string asin = text::to_upper(text::strip(options.asin));
  if (!asin.empty() && seed.asin != asin) {
    throw InputError("种子文件属于 ASIN " + seed.asin + "，与 --asin " + asin + " 不一致");
  }
  if (seed.country != marketplace.country) {
    throw InputError("种子文件属于站点 " + seed.country + "，与 --country " + marketplace.country +
                     " 不一致");
  }
  return seed;
}

}  // namespace

std::vector<AskedQuestion> ask_rufus(const AskOptions& options) {
  const std::string cookie = text::strip(options.cookie.value_or(""));
  if (options.storage_state.is_null() && cookie.empty()) {
    throw InvalidRufusCookieError("cookie 不能为空");
  }
  const Marketplace marketplace = resolve_marketplace(options.country);
  const SeedRequestRecord seed = seed_for(options, marketplace);

  std::string page_url = options.page_url.value_or("");
  if (page_url.empty()) page_url = seed.page_url;
  if (page_url.empty()) page_url = build_product_url(options.asin, marketplace.country);
  if (page_host(page_url).empty()) throw HeadlessRufusCaptureError("商品页 host 无效: " + page_url);

  report(options, "正在打开商品页：" + page_url);
  blocking::Driver driver;
  const HeadlessRufusCaptureService launcher;
  blocking::Browser browser = launcher._launch_headless_browser_with_repair(driver);
  std::vector<AnswerData> answers;
  std::exception_ptr failure;
  try {
    blocking::BrowserContext context =
        browser.new_context(signed_in_context_options(options.storage_state));
    if (options.storage_state.is_null()) add_cookie_header(context, cookie, page_url);
    blocking::Page page = context.new_page();
    try {
      page.goto_url(page_url, {.wait_until = browser::LoadState::domcontentloaded,
                               .timeout_ms = std::max<long long>(
                                   1000, static_cast<long long>(options.timeout_seconds * 1000))});
    } catch (const std::exception&) {
      std::throw_with_nested(RufusReplayError("无法打开商品页：" + page_url));
    }
    report(options, "正在依次提问（共 " + std::to_string(options.questions.size()) + " 个）…");
    answers = RufusReplayService().replay_with_page(page, seed, options.questions);
    context.close();
  } catch (...) {
    failure = std::current_exception();
  }
  try {
    browser.close();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
  if (failure) std::rethrow_exception(failure);

  std::vector<AskedQuestion> asked;
  for (std::size_t i = 0; i < answers.size() && i < options.questions.size(); ++i) {
    asked.push_back({options.questions[i], std::move(answers[i])});
  }
  return asked;
}

Json asked_to_json(const std::vector<AskedQuestion>& asked) {
  Json list = Json::array();
  for (const AskedQuestion& item : asked) {
    Json entry = Json::object();
    entry["question"] = item.question;
    entry["text"] = item.answer.text;
    entry["thread_id"] = item.answer.thread_id ? Json(*item.answer.thread_id) : Json(nullptr);
    list.push_back(std::move(entry));
  }
  return list;
}

}  // namespace vendro::amazon_rufus
