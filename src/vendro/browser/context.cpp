// Browser contexts: their pages, cookies and local storage.

#include <asio/use_awaitable.hpp>

#include "vendro/browser/browser.hpp"
#include "vendro/browser/errors.hpp"

namespace vendro::browser {

BrowserContext::BrowserContext(Key, std::weak_ptr<Browser> browser, std::string id, PageSetup setup)
    : browser_(std::move(browser)), id_(std::move(id)), setup_(std::move(setup)) {}

BrowserContext::~BrowserContext() = default;

void BrowserContext::add_page(std::shared_ptr<Page> page) {
  for (const auto& p : pages_) {
    if (p == page) return;
  }
  pages_.push_back(std::move(page));
}

void BrowserContext::remove_page(const std::shared_ptr<Page>& page) {
  std::erase(pages_, page);
}

namespace {

std::shared_ptr<Browser> require_browser(const std::weak_ptr<Browser>& weak, bool closed) {
  auto browser = weak.lock();
  if (!browser || closed || !browser->is_connected()) throw TargetClosedError(CLOSED_MESSAGE);
  return browser;
}

Json wire_cookie(const Json& cookie, std::size_t index) {
  const std::string where = "第 " + std::to_string(index + 1) + " 个 cookie";
  if (!cookie.is_object()) throw InputError(where + "不是 JSON 对象");
  if (!cookie.contains("name") || !cookie["name"].is_string() || !cookie.contains("value") ||
      !cookie["value"].is_string()) {
    throw InputError(where + "缺少文本字段 name 或 value");
  }
  Json out = {{"name", cookie["name"]}, {"value", cookie["value"]}};
  const bool has_url = cookie.contains("url") && cookie["url"].is_string();
  const bool has_domain = cookie.contains("domain") && cookie["domain"].is_string();
  if (!has_url && !has_domain) {
    throw InputError(where + "（" + cookie["name"].get<std::string>() +
                     "）需要 url，或 domain 与 path");
  }
  if (has_url) out["url"] = cookie["url"];
  if (has_domain) {
    out["domain"] = cookie["domain"];
    out["path"] = cookie.value("path", "/");
  } else if (cookie.contains("path")) {
    out["path"] = cookie["path"];
  }
  if (cookie.contains("expires") && cookie["expires"].is_number() &&
      cookie["expires"].get<double>() > 0) {
    out["expires"] = cookie["expires"];
  }
  for (const char* flag : {"httpOnly", "secure"}) {
    if (cookie.contains(flag) && cookie[flag].is_boolean()) out[flag] = cookie[flag];
  }
  if (cookie.contains("sameSite") && cookie["sameSite"].is_string()) {
    const std::string same_site = cookie["sameSite"];
    if (same_site != "Strict" && same_site != "Lax" && same_site != "None") {
      throw InputError(where + "的 sameSite 只能是 Strict、Lax 或 None，收到：" + same_site);
    }
    out["sameSite"] = same_site;
  }
  return out;
}

}  // namespace

asio::awaitable<std::shared_ptr<Page>> BrowserContext::new_page() {
  auto self = shared_from_this();
  auto browser = require_browser(browser_, closed_);
  const Deadline deadline = deadline_after(DEFAULT_TIMEOUT_MS);
  Json params = {{"url", "about:blank"}};
  if (!id_.empty()) params["browserContextId"] = id_;
  Json reply = co_await browser->connection()->call("Target.createTarget", params, deadline);
  co_return co_await browser->page_for_target(reply.value("targetId", ""), deadline);
}

asio::awaitable<void> BrowserContext::add_cookies(Json cookies) {
  auto self = shared_from_this();
  if (!cookies.is_array()) throw InputError("cookies 必须是 JSON 数组");
  Json wire = Json::array();
  for (std::size_t i = 0; i < cookies.size(); ++i) wire.push_back(wire_cookie(cookies[i], i));
  auto browser = require_browser(browser_, closed_);
  Json params = {{"cookies", std::move(wire)}};
  if (!id_.empty()) params["browserContextId"] = id_;
  co_await browser->connection()->call("Storage.setCookies", params,
                                       deadline_after(DEFAULT_TIMEOUT_MS));
}

asio::awaitable<Json> BrowserContext::cookies() {
  auto self = shared_from_this();
  auto browser = require_browser(browser_, closed_);
  Json params = Json::object();
  if (!id_.empty()) params["browserContextId"] = id_;
  Json reply = co_await browser->connection()->call("Storage.getCookies", params,
                                                    deadline_after(DEFAULT_TIMEOUT_MS));
  Json out = Json::array();
  for (const auto& c : reply.value("cookies", Json::array())) {
    out.push_back({{"name", c.value("name", "")},
                   {"value", c.value("value", "")},
                   {"domain", c.value("domain", "")},
                   {"path", c.value("path", "/")},
                   {"expires", c.value("session", false) ? -1.0 : c.value("expires", -1.0)},
                   {"httpOnly", c.value("httpOnly", false)},
                   {"secure", c.value("secure", false)},
                   {"sameSite", c.value("sameSite", "Lax")}});
  }
  co_return out;
}

asio::awaitable<void> BrowserContext::set_local_storage(const Json& origins) {
  auto self = shared_from_this();
  if (!origins.is_array()) throw InputError("storage_state 的 origins 必须是 JSON 数组");
  auto page = co_await new_page();
  std::exception_ptr failure;
  try {
    // Every request gets an empty page, so the origins are never really contacted.
    co_await page->fulfill_requests_with_blank_page();
    for (const auto& entry : origins) {
      const std::string origin = entry.value("origin", "");
      if (origin.empty()) throw InputError("storage_state 的 origins 项缺少 origin");
      GotoOptions load{.wait_until = LoadState::load};
      co_await page->goto_url(origin, load);
      co_await page->evaluate(
          "(items) => { for (const item of items) localStorage.setItem(item.name, item.value); }",
          entry.value("localStorage", Json::array()));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  co_await page->close();
  if (failure) std::rethrow_exception(failure);
}

asio::awaitable<void> BrowserContext::close() {
  if (closed_) co_return;
  auto self = shared_from_this();
  closed_ = true;
  if (owner_) {
    co_await owner_->close();
    co_return;
  }
  auto browser = browser_.lock();
  if (!browser || !browser->is_connected()) co_return;
  try {
    Json params = {{"browserContextId", id_}};
    co_await browser->connection()->call("Target.disposeBrowserContext", std::move(params),
                                         deadline_after(DEFAULT_TIMEOUT_MS));
  } catch (const TargetClosedError&) {
  }
  for (auto& page : std::vector(pages_)) page->mark_closed();
  pages_.clear();
  browser->forget_context(id_);
}

}  // namespace vendro::browser
