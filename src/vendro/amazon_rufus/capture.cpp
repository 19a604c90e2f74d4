// Seed capture: the browser, the page attempts and the one-time repair of a missing browser.

#include "vendro/amazon_rufus/capture.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "vendro/amazon_rufus/errors.hpp"
#include "vendro/amazon_rufus/marketplaces.hpp"
#include "vendro/amazon_rufus/seed_request.hpp"
#include "vendro/browser/blocking.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/installer.hpp"
#include "vendro/core/text.hpp"

namespace vendro::amazon_rufus {

namespace blocking = browser::blocking;

namespace {

constexpr const char* RETRY_SUFFIX = "；已重新打开 Amazon 商品页并重试 3 次。";
constexpr const char* NOT_CAPTURED_ONCE =
    "未捕获 /rufus/cl/streaming。请确认 cookie 是否有效，或目标商品页是否支持 Rufus。";
constexpr const char* NOT_CAPTURED_FINAL =
    "未捕获 /rufus/cl/streaming；已重新打开 Amazon 商品页并重试 3 次。请确认 cookie "
    "或浏览器状态有效，或目标商品页支持 Rufus。";
constexpr const char* INSTALL_FAILED =
    "无法启动 headless Chromium；已尝试自动安装 Playwright Chromium，但安装失败。请在 vendro "
    "运行环境执行 python -m playwright install chromium 后重试。原因：";
constexpr const char* RELAUNCH_FAILED =
    "无法启动 headless Chromium；已尝试自动安装 Playwright Chromium 并重试一次，但仍未成功。请在 "
    "vendro 运行环境执行 python -m playwright install chromium 后重试。原因：";
constexpr std::size_t SUMMARY_LIMIT = 300;

std::int64_t now_epoch_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

HeaderList header_list(const Json& headers) {
  HeaderList list;
  if (!headers.is_object()) return list;
  for (const auto& [name, value] : headers.items()) {
    list.emplace_back(name, value.is_string() ? value.get<std::string>() : value.dump());
  }
  return list;
}

// "headless 捕获失败: " and the error's type, the lower error kept as the cause.
[[noreturn]] void throw_wrapped_capture_failure() {
  try {
    throw;
  } catch (const HeadlessRufusCaptureError&) {
    throw;
  } catch (const std::exception& error) {
    std::throw_with_nested(
        HeadlessRufusCaptureError("headless 捕获失败: " + error_type_name(error)));
  }
}

template <class Close>
void close_noting_failure(Close close, std::exception_ptr& failure) {
  try {
    close();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
}

}  // namespace

browser::NewContextOptions signed_in_context_options(const Json& storage_state) {
  browser::NewContextOptions options;
  if (!storage_state.is_null() && !storage_state.empty()) options.storage_state = storage_state;
  return options;
}

void add_cookie_header(blocking::BrowserContext& context, std::string_view cookie_header,
                       std::string_view page_url) {
  const std::vector<CookiePair> pairs = _parse_cookie_header(cookie_header);
  if (!pairs.empty()) context.add_cookies(build_browser_cookies(pairs, page_url));
}

SeedRequestRecord HeadlessRufusCaptureService::capture_seed_request(
    const CaptureSeedOptions& options) const {
  const std::string normalized_cookie = text::strip(options.cookie.value_or(""));
  const bool has_storage_state = !options.storage_state.is_null();
  if (!has_storage_state && normalized_cookie.empty()) {
    throw InvalidRufusCookieError("cookie 不能为空");
  }
  const Marketplace marketplace = resolve_marketplace(options.country);
  std::string page_url = options.page_url.value_or("");
  if (page_url.empty()) page_url = build_product_url(options.asin, marketplace.country);
  if (page_host(page_url).empty()) throw HeadlessRufusCaptureError("商品页 host 无效: " + page_url);

  // The driver is part of vendro: there is nothing to load before the deadline starts.
  const double seconds = std::max(0.0, std::trunc(options.timeout_seconds));
  const Deadline deadline_at = std::chrono::steady_clock::now() +
                               std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(seconds));

  blocking::Driver driver;
  blocking::Browser browser = _launch_headless_browser_with_repair(driver);
  std::optional<blocking::BrowserContext> context;
  try {
    context.emplace(browser.new_context(signed_in_context_options(options.storage_state)));
  } catch (...) {
    std::exception_ptr ignored;
    close_noting_failure([&] { browser.close(); }, ignored);
    throw;
  }

  std::optional<SeedRequestRecord> record;
  std::exception_ptr failure;
  try {
    try {
      if (!has_storage_state) add_cookie_header(*context, normalized_cookie, page_url);
      record = _capture_seed_request_with_page_retry(*context, options.asin, marketplace.country,
                                                     page_url, deadline_at);
    } catch (...) {
      throw_wrapped_capture_failure();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  // Context, then browser, on every way out; a failure to close only counts when all else went
  // well.
  close_noting_failure([&] { context->close(); }, failure);
  close_noting_failure([&] { browser.close(); }, failure);
  if (failure) std::rethrow_exception(failure);
  return std::move(*record);
}

SeedRequestRecord HeadlessRufusCaptureService::_capture_seed_request_with_page_retry(
    blocking::BrowserContext& context, const std::string& asin, const std::string& country,
    const std::string& page_url, Deadline deadline_at) const {
  std::optional<HeadlessRufusCaptureError> last_error;
  for (int attempt_index = 0; attempt_index <= MAX_HEADLESS_PAGE_REOPEN_RETRIES; ++attempt_index) {
    const long long timeout_ms = _remaining_timeout_ms(deadline_at);
    if (timeout_ms <= 0) {
      last_error.emplace("headless 捕获超时");
      break;
    }
    try {
      return _capture_seed_request_once(context, asin, country, page_url, timeout_ms);
    } catch (const HeadlessRufusCaptureError& error) {
      last_error.emplace(error);
    }
  }
  throw _build_page_retry_error(last_error);
}

long long HeadlessRufusCaptureService::_remaining_timeout_ms(Deadline deadline_at) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline_at - std::chrono::steady_clock::now());
  return std::max<long long>(0, left.count());
}

HeadlessRufusCaptureError HeadlessRufusCaptureService::_build_page_retry_error(
    const std::optional<HeadlessRufusCaptureError>& last_error) {
  if (!last_error || std::string_view(last_error->what()).find("未捕获 /rufus/cl/streaming") !=
                         std::string_view::npos) {
    return HeadlessRufusCaptureError(NOT_CAPTURED_FINAL);
  }
  return HeadlessRufusCaptureError(std::string(last_error->what()) + RETRY_SUFFIX);
}

SeedRequestRecord HeadlessRufusCaptureService::_capture_seed_request_once(
    blocking::BrowserContext& context, const std::string& asin, const std::string& country,
    const std::string& page_url, long long timeout_ms) const {
  std::optional<blocking::Page> page;
  auto captured = std::make_shared<std::vector<SeedRequestRecord>>();
  const std::string seed_asin = text::to_upper(text::strip(asin));
  // The handler may outlive this call inside the driver (a page that failed to close): it holds
  // the page weakly and owns everything else it touches.
  auto weak_page = std::make_shared<std::weak_ptr<browser::Page>>();
  auto on_request = [weak_page, captured, seed_asin, country,
                     page_url](const std::shared_ptr<browser::Request>& request) {
    if (!request || !is_rufus_request(request->url())) return;
    if (!captured->empty()) return;
    std::string body = request->post_data().value_or("");
    if (body.empty()) body = "{}";
    const std::shared_ptr<browser::Page> current = weak_page->lock();
    std::string current_url = current ? current->url() : "";
    if (current_url.empty()) current_url = page_url;
    captured->push_back(SeedRequestRecord{
        .request_url = request->url(),
        .request_headers = header_list(request->headers()),
        .request_body = body,
        .page_url = current_url,
        .tab_id = _extract_tab_id(request->url(), body),
        .asin = seed_asin,
        .country = country,
        .captured_at = now_epoch_ms(),
    });
  };

  std::exception_ptr failure;
  try {
    try {
      page.emplace(context.new_page());
      *weak_page = page->async_page();
      page->on_request(on_request);
      page->goto_url(
          page_url, {.wait_until = browser::LoadState::domcontentloaded, .timeout_ms = timeout_ms});
      if (captured->empty()) {
        // A request that comes after the DOM is ready; failing to see one is not an error yet.
        try {
          on_request(page->wait_for_request(
              [](const browser::Request& request) { return is_rufus_request(request.url()); },
              std::min(timeout_ms, LATE_REQUEST_WAIT_MS)));
        } catch (const std::exception&) {
        }
      }
      if (captured->empty()) throw HeadlessRufusCaptureError(NOT_CAPTURED_ONCE);
    } catch (...) {
      throw_wrapped_capture_failure();
    }
  } catch (...) {
    failure = std::current_exception();
  }
  if (page && !page->is_closed()) page->close();
  if (failure) std::rethrow_exception(failure);
  return captured->front();
}

blocking::Browser HeadlessRufusCaptureService::_launch_headless_browser_with_repair(
    blocking::Driver& driver) const {
  try {
    return _launch_headless_browser(driver);
  } catch (const std::exception& error) {
    if (!_is_missing_playwright_browser(error)) {
      std::throw_with_nested(HeadlessRufusCaptureError("无法启动 headless Chromium"));
    }
  }
  try {
    _install_playwright_chromium();
  } catch (const std::exception& install_error) {
    std::throw_with_nested(
        HeadlessRufusCaptureError(INSTALL_FAILED + _summarize_exception(install_error)));
  }
  try {
    return _launch_headless_browser(driver);
  } catch (const std::exception& retry_error) {
    std::throw_with_nested(
        HeadlessRufusCaptureError(RELAUNCH_FAILED + _summarize_exception(retry_error)));
  }
}

blocking::Browser HeadlessRufusCaptureService::_launch_headless_browser(
    blocking::Driver& driver) const {
  return driver.launch({.headless = true, .args = {"--disable-dev-shm-usage", "--disable-gpu"}});
}

bool HeadlessRufusCaptureService::_is_missing_playwright_browser(const std::exception& error) {
  const std::string message = text::to_lower(error.what());
  return message.find("executable doesn't exist") != std::string::npos ||
         message.find("playwright install") != std::string::npos;
}

void HeadlessRufusCaptureService::_install_playwright_chromium() const {
  browser::run_installer_child(browser::install_timeout());
}

std::string HeadlessRufusCaptureService::_summarize_exception(const std::exception& error) {
  std::string summary;
  const auto* install = dynamic_cast<const browser::InstallError*>(&error);
  if (install && !install->output().empty()) {
    summary = install->output();
  } else {
    summary = error.what();
  }
  if (summary.empty()) summary = error_type_name(error);
  std::replace(summary.begin(), summary.end(), '\r', ' ');
  std::replace(summary.begin(), summary.end(), '\n', ' ');
  return text::first_code_points(summary, SUMMARY_LIMIT);
}

}  // namespace vendro::amazon_rufus
