#pragma once
// Capturing the seed request of the Rufus shopping assistant: the first request an Amazon product
// page sends to the Rufus streaming endpoint, seen from inside a headless Chromium that is signed
// in by a cookie header or by a stored browser state. The seed is what the replay later uses.
//
// One capture has one deadline, fixed before the browser starts: launch, a one-time repair of a
// missing browser, context set-up and up to MAX_HEADLESS_PAGE_REOPEN_RETRIES + 1 page attempts
// all spend it. Every browser resource is released on every way out; a process killed by a
// signal leaves nothing either (the driver's guard process takes the browser and its temporary
// profile down).

#include <chrono>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

#include "vendro/amazon_rufus/errors.hpp"
#include "vendro/amazon_rufus/models.hpp"
#include "vendro/browser/browser.hpp"
#include "vendro/core/json.hpp"

namespace vendro::browser::blocking {
class Driver;
class Browser;
class BrowserContext;
}  // namespace vendro::browser::blocking

namespace vendro::amazon_rufus {

// Page attempts after the first one.
inline constexpr int MAX_HEADLESS_PAGE_REOPEN_RETRIES = 3;
// The longest wait for a Rufus request that comes after the page's DOM is ready.
inline constexpr long long LATE_REQUEST_WAIT_MS = 30000;

struct CaptureSeedOptions {
  std::string asin;
  std::string country;
  std::optional<std::string> cookie;         // a Cookie request header's value
  Json storage_state = nullptr;              // the driver's storage state object, or null
  double timeout_seconds = 60;               // the fraction is dropped; 0 or less: no page attempt
  std::optional<std::string> page_url;       // default: the marketplace's product page
  std::optional<std::string> streaming_url;  // accepted for callers that pass it; not used
};

// The options of a signed-in context: the storage state when one is given and not empty.
browser::NewContextOptions signed_in_context_options(const Json& storage_state);
// Adds the cookies of `cookie_header` (a Cookie request header's value) for the host of
// `page_url`, in one call; nothing when it holds none.
void add_cookie_header(browser::blocking::BrowserContext& context, std::string_view cookie_header,
                       std::string_view page_url);

class HeadlessRufusCaptureService {
 public:
  static constexpr std::string_view DESCRIPTION =
      "使用 Playwright headless browser 捕获 Rufus seed request。";

  // Opens the product page (up to four times) and returns its first Rufus streaming request.
  // Throws InvalidRufusCookieError without a cookie or storage state, UnknownMarketplaceError
  // for an unknown country, and HeadlessRufusCaptureError (its message meant for the operator)
  // for every failure of the browser or the page; an invalid storage state passes on as the
  // driver's InputError.
  SeedRequestRecord capture_seed_request(const CaptureSeedOptions& options) const;

  // The pieces of a capture, public for their tests.
  using Deadline = std::chrono::steady_clock::time_point;
  static long long _remaining_timeout_ms(Deadline deadline_at);
  static HeadlessRufusCaptureError _build_page_retry_error(
      const std::optional<HeadlessRufusCaptureError>& last_error);
  static bool _is_missing_playwright_browser(const std::exception& error);
  // The reason of `error` on one line, at most 300 characters: an installer's own output first.
  static std::string _summarize_exception(const std::exception& error);

  // Launches headless Chromium; when it is missing, installs it once (a child process of our
  // own executable, bounded by browser::install_timeout()) and launches again.
  browser::blocking::Browser _launch_headless_browser_with_repair(
      browser::blocking::Driver& driver) const;

 private:
  browser::blocking::Browser _launch_headless_browser(browser::blocking::Driver& driver) const;
  void _install_playwright_chromium() const;
  SeedRequestRecord _capture_seed_request_with_page_retry(
      browser::blocking::BrowserContext& context, const std::string& asin,
      const std::string& country, const std::string& page_url, Deadline deadline_at) const;
  SeedRequestRecord _capture_seed_request_once(browser::blocking::BrowserContext& context,
                                               const std::string& asin, const std::string& country,
                                               const std::string& page_url,
                                               long long timeout_ms) const;
};

}  // namespace vendro::amazon_rufus
