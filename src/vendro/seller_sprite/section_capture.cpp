// Section capture: turning one visit to a keyword page into captured API answers.

#include "vendro/core/http_client.hpp"
#include "vendro/seller_sprite/errors.hpp"
#include "vendro/seller_sprite/scraper.hpp"

namespace vendro::seller_sprite {

namespace {

constexpr long long AFTER_PAYLOADS_WAIT_MS = 1000;
constexpr long long REVERSE_PAYLOAD_WAIT_MS = 10000;

bool has_account(const std::optional<Account>& account) {
  return account && !account->empty();
}

// Adds every entry of `more` to `files`; a later entry replaces one with the same key.
void merge_files(Json& files, const Json& more) {
  for (const auto& [key, value] : more.items()) files[key] = value;
}

Json missing_sections_of(const SellerSpriteApiRecorder& recorder,
                         const std::vector<std::string>& sections) {
  Json missing = Json::array();
  for (const std::string& section : sections) {
    if (!truthy(recorder.get_payload(section))) missing.push_back(section);
  }
  return missing;
}

}  // namespace

Json SellerSpriteScraper::_blocking_error(const PageCheck& check) {
  if (check.captcha_required) {
    return Json{{"code", SellerSpriteCaptchaRequiredError::CODE}, {"message", "页面出现验证码"}};
  }
  return Json{{"code", SellerSpriteLoginRequiredError::CODE},
              {"message", "卖家精灵未登录，请先执行 `vendro seller-sprite login`"}};
}

Json SellerSpriteScraper::_missing_error(const std::string& section) {
  return Json{{"code", "SELLER_SPRITE_RESPONSE_MISSING"}, {"message", section + " 响应未捕获"}};
}

browser::ListenerId SellerSpriteScraper::_listen(const std::shared_ptr<browser::Page>& page,
                                                 std::shared_ptr<SellerSpriteApiRecorder> recorder,
                                                 std::vector<CaptureRule> rules) {
  return page->on_response(
      [recorder, rules](std::shared_ptr<browser::Response> response) -> asio::awaitable<void> {
        // One rule after another, never in parallel.
        for (const CaptureRule& rule : rules) {
          co_await recorder->capture_json_response(response, rule.section, rule.url_keyword);
        }
      });
}

asio::awaitable<void> SellerSpriteScraper::_goto_and_settle(std::shared_ptr<browser::Page> page,
                                                            std::string url) {
  browser::GotoOptions options{.wait_until = browser::LoadState::domcontentloaded,
                               .timeout_ms = timeout_ms};
  co_await page->goto_url(url, options);
  co_await page->wait_for_timeout(DEFAULT_WAIT_MS);
}

asio::awaitable<void> SellerSpriteScraper::_open_site_page(std::shared_ptr<browser::Page> page,
                                                           std::string url) {
  // The site answering with an error page would otherwise only show up later, as a form that
  // never appears: say so now, naming the page.
  struct Answer {
    int status = 0;
    std::string url;
  };
  auto answer = std::make_shared<std::optional<Answer>>();
  browser::ListenerId listener = page->on_response(
      [answer](std::shared_ptr<browser::Response> response) -> asio::awaitable<void> {
        std::shared_ptr<browser::Request> request = response->request();
        if (!*answer && !response->is_redirect() && request &&
            request->resource_type() == "Document") {
          *answer = Answer{response->status(), response->url()};
        }
        co_return;
      });
  try {
    co_await _goto_and_settle(page, url);
  } catch (...) {
    page->remove_listener(listener);
    throw;
  }
  page->remove_listener(listener);
  if (*answer && (*answer)->status >= 400) {
    throw SellerSpriteError("卖家精灵页面打不开（HTTP " + std::to_string((*answer)->status) +
                            "）：" + http::redact_url((*answer)->url));
  }
}

asio::awaitable<SellerSpriteScraper::PageCheck> SellerSpriteScraper::_check_page(
    std::shared_ptr<browser::Page> page, std::string url, std::optional<Account> account) {
  PageCheck check;
  for (int visit = 0; visit < 2; ++visit) {
    _report("正在打开页面：" + url);
    co_await _open_site_page(page, url);
    _report("正在检查验证码和登录状态…");
    check.captcha_required = co_await captcha_detector.detect(page);
    check.logged_in = co_await _detect_logged_in(page);
    // One login attempt at most, and never past a captcha.
    if (visit > 0 || check.captcha_required || check.logged_in || !has_account(account)) break;
    _report("未登录，正在用已配置的账号自动登录…");
    co_await _login_with_account(page, *account);
  }
  co_return check;
}

asio::awaitable<void> SellerSpriteScraper::_wait_for_payloads(SellerSpriteApiRecorder& recorder,
                                                              std::vector<std::string> sections,
                                                              std::optional<long long> timeout_ms) {
  const long long wait = timeout_ms && *timeout_ms != 0 ? *timeout_ms : DEFAULT_WAIT_MS;
  // Missing sections are reported by the caller, not here.
  co_await recorder.wait_for_payloads(std::move(sections), browser::deadline_after(wait));
}

asio::awaitable<Json> SellerSpriteScraper::_collect_section(SellerSpriteCollectOptions options,
                                                            std::filesystem::path run_dir,
                                                            std::string section,
                                                            std::string response_url_keyword) {
  PageBody body = [this, options, run_dir, section, response_url_keyword](
                      std::shared_ptr<browser::Page> page) -> asio::awaitable<Json> {
    co_return co_await _collect_section_with_page(page, options, run_dir, section,
                                                  response_url_keyword);
  };
  co_return co_await _with_page(body);
}

asio::awaitable<Json> SellerSpriteScraper::_collect_section_with_page(
    std::shared_ptr<browser::Page> page, SellerSpriteCollectOptions options,
    std::filesystem::path run_dir, std::string section, std::string response_url_keyword) {
  VisitPlan plan{.url = KEYWORD_MINING_URL,
                 .rules = {CaptureRule{section, response_url_keyword}},
                 .form_message = "正在填写查询表单…",
                 .payload_wait_ms = std::nullopt,
                 .archive_name = section,
                 .result_sections = {section},
                 .required = {section},
                 .trend_source = std::nullopt};
  if (section == "keyword_mining") plan.trend_source = section;
  plan.fill_form = [this, options, section](std::shared_ptr<browser::Page> page) {
    return _fill_keyword_form_for(page, options, section == "frequency");
  };
  std::optional<Account> no_account;
  co_return co_await _visit(page, options, run_dir, no_account, plan);
}

asio::awaitable<Json> SellerSpriteScraper::_collect_all_sections_with_page(
    std::shared_ptr<browser::Page> page, SellerSpriteCollectOptions options,
    std::filesystem::path run_dir, std::optional<Account> account) {
  VisitPlan plan{
      .url = KEYWORD_MINING_URL,
      .rules = {CaptureRule{"frequency", "frequency"}, CaptureRule{"keyword_mining", "keyword"}},
      .form_message = "正在填写查询表单…",
      .payload_wait_ms = std::nullopt,
      .archive_name = "collect",
      .result_sections = {"frequency", "keyword_mining"},
      .required = {"frequency", "keyword_mining"},
      .trend_source = "keyword_mining"};
  plan.fill_form = [this, options](std::shared_ptr<browser::Page> page) {
    return _fill_keyword_form_for(page, options, true);
  };
  co_return co_await _visit(page, options, run_dir, account, plan);
}

asio::awaitable<Json> SellerSpriteScraper::_collect_keyword_reverse_with_page(
    std::shared_ptr<browser::Page> page, SellerSpriteCollectOptions options,
    std::filesystem::path run_dir, std::optional<Account> account) {
  VisitPlan plan{.url = KEYWORD_REVERSE_URL,
                 .rules = {CaptureRule{"reverse_monthly", "relation/ta/monthly"},
                           CaptureRule{"reverse_stats", "relation/stat-keywords"},
                           CaptureRule{"keyword_reverse", "relation/reversing"},
                           CaptureRule{"reverse_frequency", "high-frequency-words-new"}},
                 .form_message = "正在填写反查表单…",
                 .payload_wait_ms = REVERSE_PAYLOAD_WAIT_MS,
                 .archive_name = "keyword_reverse",
                 .result_sections = {"keyword_reverse", "reverse_frequency", "reverse_monthly",
                                     "reverse_stats"},
                 .required = {"keyword_reverse", "reverse_frequency"},
                 .trend_source = "keyword_reverse"};
  plan.fill_form = [this, options](std::shared_ptr<browser::Page> page) {
    return _fill_keyword_reverse_form(page, options);
  };
  co_return co_await _visit(page, options, run_dir, account, plan);
}

asio::awaitable<void> SellerSpriteScraper::_fill_keyword_form_for(
    std::shared_ptr<browser::Page> page, SellerSpriteCollectOptions options,
    bool with_phrase_count) {
  co_await _fill_keyword_form(page, options);
  if (with_phrase_count) {
    co_await _set_frequency_phrase_count(page, options.frequency_phrase_count);
  }
}

asio::awaitable<Json> SellerSpriteScraper::_visit(std::shared_ptr<browser::Page> page,
                                                  SellerSpriteCollectOptions options,
                                                  std::filesystem::path run_dir,
                                                  std::optional<Account> account, VisitPlan plan) {
  auto recorder = std::make_shared<SellerSpriteApiRecorder>();
  browser::ListenerId listener = _listen(page, recorder, plan.rules);

  PageCheck check = co_await _check_page(page, plan.url, account);
  if (check.blocked()) {
    page->remove_listener(listener);
    _report("页面被拦截，正在归档页面…");
    SellerSpriteArchiver archiver(run_dir);
    Json files = co_await archiver.archive_page(page, plan.archive_name);
    co_return _blocked_result(plan, std::move(files), check);
  }

  _report(plan.form_message);
  co_await plan.fill_form(page);
  _report("正在等待接口响应…");
  co_await _wait_for_payloads(*recorder, plan.required, plan.payload_wait_ms);
  co_await page->wait_for_timeout(AFTER_PAYLOADS_WAIT_MS);
  page->remove_listener(listener);
  co_return co_await _finish_visit(page, recorder, options, run_dir, plan);
}

Json SellerSpriteScraper::_blocked_result(const VisitPlan& plan, Json files,
                                          const PageCheck& check) {
  Json blocked = Json::object();
  for (const std::string& section : plan.result_sections) blocked[section] = nullptr;
  blocked["files"] = std::move(files);
  blocked["captcha_required"] = check.captcha_required;
  blocked["missing_sections"] = Json(plan.required);
  blocked["errors"] = Json::array({_blocking_error(check)});
  return blocked;
}

asio::awaitable<Json> SellerSpriteScraper::_finish_visit(
    std::shared_ptr<browser::Page> page, std::shared_ptr<SellerSpriteApiRecorder> recorder,
    SellerSpriteCollectOptions options, std::filesystem::path run_dir, VisitPlan plan) {
  _report("正在归档页面…");
  SellerSpriteArchiver archiver(run_dir);
  Json files = co_await archiver.archive_page(page, plan.archive_name);
  merge_files(files, recorder->save_all(run_dir / plan.archive_name));

  Json trend_details = Json::array();
  if (plan.trend_source && options.trend_limit != 0) {
    std::optional<std::vector<std::string>> keywords =
        _keywords_from_payload(recorder->get_payload(*plan.trend_source));
    Json trend = co_await _collect_trend_details(page, options, run_dir, keywords);
    trend_details = trend["trend_details"];
    merge_files(files, trend["files"]);
  }

  Json missing = missing_sections_of(*recorder, plan.required);
  Json errors = Json::array();
  for (const Json& section : missing) errors.push_back(_missing_error(section.get<std::string>()));
  Json result = Json::object();
  for (const std::string& section : plan.result_sections) {
    result[section] = recorder->get_payload(section);
  }
  result["trend_details"] = std::move(trend_details);
  result["files"] = std::move(files);
  result["captcha_required"] = false;
  result["missing_sections"] = std::move(missing);
  result["errors"] = std::move(errors);
  co_return result;
}

}  // namespace vendro::seller_sprite
