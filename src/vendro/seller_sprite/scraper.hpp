#pragma once
// SellerSpriteScraper, 卖家精灵采集器: collects keyword research data from the
// SellerSprite (卖家精灵) web application by driving a real Chromium on a persistent profile that
// keeps the user's login: it opens the site's pages, fills the search forms like a user, and
// captures the JSON answers of the API calls the page makes, saving them with archives of the page
// into a run directory chosen by the caller.
//
// Every entry point is one complete collection: it starts the browser on the profile, works in
// one page, and closes the browser on every way out. Each has an asynchronous form (`_async`) that
// runs on the caller's io_context, and a synchronous form that runs it to completion on a new
// io_context of its own. A captcha, a missing login or an API answer that never came is reported
// inside the result map ("captcha_required", "missing_sections", "errors"); every other failure
// (navigation timeout, a form element that never became clickable, the browser dying, a run
// directory that cannot be written) is thrown after the browser was closed. A second collection
// on the same profile while one runs fails at once with browser::ProfileInUseError.
//
// Threading: one collection at a time per object; nothing here is thread-safe. The only other
// thread is the terminal read of a login prompt (see operator.hpp).

#include <array>
#include <asio/awaitable.hpp>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vendro/browser/browser.hpp"
#include "vendro/core/json.hpp"
#include "vendro/seller_sprite/api_recorder.hpp"
#include "vendro/seller_sprite/archiver.hpp"
#include "vendro/seller_sprite/captcha.hpp"
#include "vendro/seller_sprite/operator.hpp"
#include "vendro/seller_sprite/options.hpp"
#include "vendro/seller_sprite/origin.hpp"

namespace vendro::seller_sprite {

using Label = std::pair<std::string_view, std::string_view>;

// A collection that may log in: `account` empty or absent means no login attempt.
struct CollectRequest {
  SellerSpriteCollectOptions options;
  std::string run_id;  // accepted for the caller's records; the run directory decides the output
  std::filesystem::path run_dir;
  std::optional<Account> account;
};

// A collection without an account.
struct RunRequest {
  SellerSpriteCollectOptions options;
  std::string run_id;
  std::filesystem::path run_dir;
};

struct ScraperSettings {
  bool headless = false;          // the default is a visible window
  long long timeout_ms = 120000;  // every page navigation
  // Who answers the login prompts; default: the terminal.
  std::shared_ptr<Operator> person;
  // Told about each step; default: nobody.
  ProgressObserver progress;
  // Default: SellerSpriteOrigin::from_environment().
  std::optional<SellerSpriteOrigin> origin;
};

class SellerSpriteScraper {
  // First, since the page URLs below are built from it.
  SellerSpriteOrigin origin_;

 public:
  static constexpr long long DEFAULT_TIMEOUT_MS = 120000;
  static constexpr long long DEFAULT_WAIT_MS = 3000;
  static constexpr std::array<Label, 13> SITE_LABELS{{
      {"us", "美国站"},
      {"jp", "日本站"},
      {"uk", "英国站"},
      {"de", "德国站"},
      {"fr", "法国站"},
      {"it", "意大利站"},
      {"es", "西班牙站"},
      {"ca", "加拿大站"},
      {"mx", "墨西哥站"},
      {"in", "印度站"},
      {"br", "巴西站"},
      {"au", "澳洲站"},
      {"ae", "阿联酋"},
  }};
  static constexpr std::array<Label, 1> PERIOD_LABELS{{{"30d", "最近30天"}}};
  static constexpr std::array<Label, 5> TREND_TABS{{
      {"search", "搜索趋势"},
      {"google", "Google Trends"},
      {"aba", "ABA集中度"},
      {"ppc", "PPC竞价"},
      {"market", "市场分析"},
  }};
  static constexpr std::string_view TREND_ARCHIVE_SELECTOR =
      "#search-anlysis-drawer-echarts-trends";

  // Starts no browser and creates no directory. Reads CONFIG_DIR and the origin once. Throws
  // SellerSpriteConfigError for an unusable configured origin.
  explicit SellerSpriteScraper(ScraperSettings settings = {});

  const bool headless;
  const long long timeout_ms;
  // CONFIG_DIR/seller_sprite/browser_profile: the persistent profile that keeps the login.
  const std::filesystem::path profile_dir;
  const SellerSpriteCaptchaDetector captcha_detector;

  // ORIGIN/v3/keyword-miner, ORIGIN/v3/keyword-reverse,
  // ORIGIN/w/user/login?callback=/v3/keyword-miner.
  const std::string KEYWORD_MINING_URL;
  const std::string KEYWORD_REVERSE_URL;
  const std::string LOGIN_URL;

  // Both keyword mining sections from one search. Result keys, in order: "frequency",
  // "keyword_mining", "trend_details", "files", "captcha_required", "missing_sections", "errors";
  // a blocked page (captcha, no login) gives both sections null, no "trend_details", and one
  // blocking error entry.
  Json collect(CollectRequest request);
  asio::awaitable<Json> collect_async(CollectRequest request);
  // One section: "frequency" (with the phrase length) or "keyword_mining".
  Json collect_frequency(RunRequest request);
  asio::awaitable<Json> collect_frequency_async(RunRequest request);
  Json collect_keyword_mining(RunRequest request);
  asio::awaitable<Json> collect_keyword_mining_async(RunRequest request);
  // The keyword reverse (ASIN) lookup: "keyword_reverse", "reverse_frequency",
  // "reverse_monthly", "reverse_stats", then as collect.
  Json collect_keyword_reverse(CollectRequest request);
  asio::awaitable<Json> collect_keyword_reverse_async(CollectRequest request);
  // Archives options.url: "files", "captcha_required", "missing_sections" [], "errors" [].
  Json archive_url(RunRequest request);
  asio::awaitable<Json> archive_url_async(RunRequest request);
  // Opens the login page and waits until the person confirms at the terminal; then
  // {"profile_dir", "current_url", "logged_in"}.
  Json login();
  asio::awaitable<Json> login_async();
  // {"profile_dir", "current_url", "logged_in", "files", "captcha_required"}, without logging in.
  Json login_status(RunRequest request);
  asio::awaitable<Json> login_status_async(RunRequest request);

  // Closes the browser of the collection that is running, politely (the profile is saved), so
  // that the collection ends with browser::TargetClosedError. For signal handlers on the
  // collection's loop. Nothing running: nothing happens.
  asio::awaitable<void> stop_async();

 private:
  class PageContext;
  // Bodies are passed as named PageBody variables: GCC 12 destroys a lambda converted inside a
  // co_await expression twice.
  using PageBody = std::function<asio::awaitable<Json>(std::shared_ptr<browser::Page>)>;
  // The outcome of opening a keyword page and looking at it.
  struct PageCheck {
    bool captcha_required = false;
    bool logged_in = false;
    bool blocked() const { return captcha_required || !logged_in; }
  };
  // One section a response handler feeds to the recorder.
  struct CaptureRule {
    std::string section;
    std::string url_keyword;
  };
  // One visit to a keyword page: where it goes, which answers it records, how it fills the
  // form and how long it waits for the answers; then the result's payload members, the
  // sections whose absence is an error, the folder its files go to, and the section (if any)
  // whose keywords lead the trend walk.
  struct VisitPlan {
    std::string url;
    std::vector<CaptureRule> rules;
    std::string form_message;
    std::optional<long long> payload_wait_ms;  // default: the settle wait
    std::string archive_name;
    std::vector<std::string> result_sections;
    std::vector<std::string> required;
    std::optional<std::string> trend_source;
    std::function<asio::awaitable<void>(std::shared_ptr<browser::Page>)> fill_form;
  };

  // Browser page context.
  void _load_playwright() const;
  PageContext _browser_page();
  // Holds a page context around `body`: the browser is closed when the body returns or throws.
  asio::awaitable<Json> _with_page(PageBody body);

  // Section capture.
  asio::awaitable<Json> _collect_section(SellerSpriteCollectOptions options,
                                         std::filesystem::path run_dir, std::string section,
                                         std::string response_url_keyword);
  asio::awaitable<Json> _collect_section_with_page(std::shared_ptr<browser::Page> page,
                                                   SellerSpriteCollectOptions options,
                                                   std::filesystem::path run_dir,
                                                   std::string section,
                                                   std::string response_url_keyword);
  asio::awaitable<Json> _collect_all_sections_with_page(std::shared_ptr<browser::Page> page,
                                                        SellerSpriteCollectOptions options,
                                                        std::filesystem::path run_dir,
                                                        std::optional<Account> account);
  asio::awaitable<Json> _collect_keyword_reverse_with_page(std::shared_ptr<browser::Page> page,
                                                           SellerSpriteCollectOptions options,
                                                           std::filesystem::path run_dir,
                                                           std::optional<Account> account);
  // Opens the plan's page, fills its form, waits for its answers and builds the result.
  asio::awaitable<Json> _visit(std::shared_ptr<browser::Page> page,
                               SellerSpriteCollectOptions options, std::filesystem::path run_dir,
                               std::optional<Account> account, VisitPlan plan);
  asio::awaitable<void> _fill_keyword_form_for(std::shared_ptr<browser::Page> page,
                                               SellerSpriteCollectOptions options,
                                               bool with_phrase_count);
  asio::awaitable<void> _wait_for_payloads(SellerSpriteApiRecorder& recorder,
                                           std::vector<std::string> sections,
                                           std::optional<long long> timeout_ms);
  // Registers the handler feeding `rules` to `recorder`; returns its listener.
  browser::ListenerId _listen(const std::shared_ptr<browser::Page>& page,
                              std::shared_ptr<SellerSpriteApiRecorder> recorder,
                              std::vector<CaptureRule> rules);
  // Opens `url` and looks at it; logs in once with `account` when the page is logged out and
  // shows no captcha, then looks again.
  asio::awaitable<PageCheck> _check_page(std::shared_ptr<browser::Page> page, std::string url,
                                         std::optional<Account> account);
  // goto (until the DOM is parsed, within timeout_ms), then the settle wait.
  asio::awaitable<void> _goto_and_settle(std::shared_ptr<browser::Page> page, std::string url);
  // The same for a page of the site; throws SellerSpriteError naming the page when the site
  // answers it with an HTTP error.
  asio::awaitable<void> _open_site_page(std::shared_ptr<browser::Page> page, std::string url);
  // The blocking error entry of a blocked page.
  static Json _blocking_error(const PageCheck& check);
  // The result of a visit that stopped at a captcha or a login: every payload null.
  static Json _blocked_result(const VisitPlan& plan, Json files, const PageCheck& check);
  // The end of every visit once the answers are in: archive the page, save the payloads, walk
  // the trends, and build the result.
  asio::awaitable<Json> _finish_visit(std::shared_ptr<browser::Page> page,
                                      std::shared_ptr<SellerSpriteApiRecorder> recorder,
                                      SellerSpriteCollectOptions options,
                                      std::filesystem::path run_dir, VisitPlan plan);
  static Json _missing_error(const std::string& section);

  // Search forms.
  asio::awaitable<void> _fill_keyword_form(std::shared_ptr<browser::Page> page,
                                           SellerSpriteCollectOptions options);
  asio::awaitable<void> _fill_keyword_reverse_form(std::shared_ptr<browser::Page> page,
                                                   SellerSpriteCollectOptions options);
  asio::awaitable<void> _select_site(std::shared_ptr<browser::Page> page, std::string site);
  asio::awaitable<void> _select_period(std::shared_ptr<browser::Page> page, std::string period);
  asio::awaitable<void> _select_element_dropdown(std::shared_ptr<browser::Page> page,
                                                 std::string trigger_selector,
                                                 std::string target_label);
  asio::awaitable<void> _set_frequency_phrase_count(std::shared_ptr<browser::Page> page,
                                                    long long phrase_count);

  // Login flow.
  asio::awaitable<void> _login_with_account(std::shared_ptr<browser::Page> page, Account account);
  asio::awaitable<void> _fill_login_form(std::shared_ptr<browser::Page> page, Account account);
  asio::awaitable<bool> _detect_logged_in(std::shared_ptr<browser::Page> page);
  asio::awaitable<bool> _has_visible_text(std::shared_ptr<browser::Page> page, std::string text);
  // Shows `prompt` to the person and waits for them; gives up when the page goes away.
  asio::awaitable<void> _ask_person(std::shared_ptr<browser::Page> page, std::string prompt);

  // Trend details.
  asio::awaitable<Json> _collect_trend_details(std::shared_ptr<browser::Page> page,
                                               SellerSpriteCollectOptions options,
                                               std::filesystem::path run_dir,
                                               std::optional<std::vector<std::string>> keywords);
  asio::awaitable<std::string> _keyword_from_trend_icon(browser::Locator icon, int index);
  asio::awaitable<void> _capture_sellersprite_json(std::shared_ptr<browser::Response> response,
                                                   std::shared_ptr<Json> responses);

 public:
  // Pure helpers of the trend walk, public for their tests.
  static std::vector<std::string> _keywords_from_payload(const Json& payload);
  static std::vector<Label> _selected_trend_tabs(std::string_view trend_tabs);
  static std::string _slug(std::string_view value);
  // "trend_01_wireless_earbuds_search".
  static std::string _trend_section(int row, std::string_view keyword, std::string_view tab_key);
  // The label of `code` in `table` (code compared in lower case), else `code` unchanged.
  template <std::size_t N>
  static std::string _label_for(const std::array<Label, N>& table, std::string_view code);

 private:
  void _report(const std::string& message) const;

  std::shared_ptr<Operator> person_;
  ProgressObserver progress_;
  // The browser of the collection that runs now, for stop_async().
  std::weak_ptr<browser::BrowserContext> running_;
};

}  // namespace vendro::seller_sprite
