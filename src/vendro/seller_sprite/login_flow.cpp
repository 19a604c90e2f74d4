// Login flow: logging in by hand or with a stored account, and telling from a page whether a
// user is logged in. The login survives in the persistent profile.

#include "vendro/browser/errors.hpp"
#include "vendro/seller_sprite/scraper.hpp"

namespace vendro::seller_sprite {

namespace {

constexpr const char* PASSWORD_FIELD = "input[type='password']:visible";
constexpr const char* ACCOUNT_FIELD =
    "input[placeholder*='手机号']:visible:not([readonly]):not([disabled]), "
    "input[placeholder*='邮箱']:visible:not([readonly]):not([disabled]), "
    "input[placeholder*='账号']:visible:not([readonly]):not([disabled]), "
    "input[placeholder*='用户名']:visible:not([readonly]):not([disabled]), "
    "input[type='email']:visible:not([readonly]):not([disabled]), "
    "input[type='text']:visible:not([readonly]):not([disabled])";
constexpr const char* LOGIN_BUTTON =
    "button:visible:has-text('登录'), button:visible:has-text('登 录'), "
    "button:visible:has-text('立即登录')";

constexpr const char* LOGIN_PAGE_MARKER = "/w/user/login";
constexpr const char* NOT_LOGGED_IN_TEXT = "未登录";
constexpr const char* GUEST_TEXT = "游客";

constexpr const char* MANUAL_LOGIN_PROMPT =
    "请在打开的浏览器中完成卖家精灵登录，完成后回到终端按回车继续...";
constexpr const char* ACCOUNT_LOGIN_PROMPT =
    "已自动填写卖家精灵账号密码。如页面需要验证码或二次确认，请在浏览器中完成后回到终端按回车继续"
    "...";

constexpr long long NETWORK_IDLE_TIMEOUT_MS = 10000;
constexpr long long PASSWORD_FIELD_TIMEOUT_MS = 10000;
constexpr long long BEFORE_LOGIN_CHECK_WAIT_MS = 1000;

std::string account_value(const Account& account, const char* key) {
  auto it = account.find(key);
  return it == account.end() ? std::string() : it->second;
}

}  // namespace

asio::awaitable<Json> SellerSpriteScraper::login_async() {
  PageBody body = [this](std::shared_ptr<browser::Page> page) -> asio::awaitable<Json> {
    _report("正在打开登录页…");
    co_await _open_site_page(page, LOGIN_URL);
    co_await _ask_person(page, MANUAL_LOGIN_PROMPT);
    _report("正在检查登录状态…");
    co_await _open_site_page(page, KEYWORD_MINING_URL);
    Json result = Json::object();
    result["profile_dir"] = profile_dir.string();
    result["current_url"] = page->url();
    result["logged_in"] = co_await _detect_logged_in(page);
    co_return result;
  };
  co_return co_await _with_page(body);
}

asio::awaitable<Json> SellerSpriteScraper::login_status_async(RunRequest request) {
  PageBody body = [this, request](std::shared_ptr<browser::Page> page) -> asio::awaitable<Json> {
    SellerSpriteArchiver archiver(request.run_dir);
    _report("正在打开页面：" + KEYWORD_MINING_URL);
    co_await _open_site_page(page, KEYWORD_MINING_URL);
    bool captcha_required = co_await captcha_detector.detect(page);
    _report("正在归档页面…");
    Json files = co_await archiver.archive_page(page, "login_status");
    _report("正在检查登录状态…");
    Json result = Json::object();
    result["profile_dir"] = profile_dir.string();
    result["current_url"] = page->url();
    result["logged_in"] = co_await _detect_logged_in(page);
    result["files"] = std::move(files);
    result["captcha_required"] = captcha_required;
    co_return result;
  };
  co_return co_await _with_page(body);
}

asio::awaitable<void> SellerSpriteScraper::_login_with_account(std::shared_ptr<browser::Page> page,
                                                               Account account) {
  co_await _open_site_page(page, LOGIN_URL);
  if (co_await _detect_logged_in(page)) co_return;
  _report("正在填写登录表单…");
  co_await _fill_login_form(page, account);
  co_await page->wait_for_timeout(DEFAULT_WAIT_MS);
  // The detector first; the login check runs only when it sees no captcha.
  bool needs_person = co_await captcha_detector.detect(page);
  if (!needs_person) needs_person = !(co_await _detect_logged_in(page));
  if (needs_person) co_await _ask_person(page, ACCOUNT_LOGIN_PROMPT);
}

asio::awaitable<void> SellerSpriteScraper::_fill_login_form(std::shared_ptr<browser::Page> page,
                                                            Account account) {
  const std::string username = account_value(account, "username");
  const std::string password = account_value(account, "password");
  browser::Locator password_field = page->locator(PASSWORD_FIELD).first();
  const browser::WaitForOptions shown{.state = browser::ElementState::visible,
                                      .timeout_ms = PASSWORD_FIELD_TIMEOUT_MS};
  co_await password_field.wait_for(shown);
  browser::Locator account_field = page->locator(ACCOUNT_FIELD).first();
  co_await account_field.fill(username);
  co_await password_field.fill(password);
  browser::Locator button = page->locator(LOGIN_BUTTON).first();
  co_await button.click();
}

asio::awaitable<bool> SellerSpriteScraper::_detect_logged_in(std::shared_ptr<browser::Page> page) {
  try {
    co_await page->wait_for_load_state(browser::LoadState::networkidle, NETWORK_IDLE_TIMEOUT_MS);
  } catch (const browser::TargetClosedError&) {
    throw;  // a browser that is gone shows no login at all
  } catch (const std::exception&) {
    // Typically the timeout of a page that keeps polling: it is examined all the same.
  }
  co_await page->wait_for_timeout(BEFORE_LOGIN_CHECK_WAIT_MS);
  if (page->url().find(LOGIN_PAGE_MARKER) != std::string::npos) co_return false;
  if (co_await _has_visible_text(page, NOT_LOGGED_IN_TEXT)) co_return false;
  if (co_await _has_visible_text(page, GUEST_TEXT)) co_return false;
  co_return true;
}

asio::awaitable<bool> SellerSpriteScraper::_has_visible_text(std::shared_ptr<browser::Page> page,
                                                             std::string text) {
  browser::Locator match = page->get_by_text(text).first();
  try {
    co_return co_await match.is_visible();
  } catch (const std::exception&) {
    co_return false;
  }
}

asio::awaitable<void> SellerSpriteScraper::_ask_person(std::shared_ptr<browser::Page> page,
                                                       std::string prompt) {
  std::function<bool()> page_gone = [page] { return page->is_closed(); };
  co_await person_->confirm(prompt, page_gone);
}

}  // namespace vendro::seller_sprite
