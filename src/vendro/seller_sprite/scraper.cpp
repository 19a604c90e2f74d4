// The collector's front: constructor, entry points and their synchronous forms, and the page
// context every collection holds around its work.

#include "vendro/seller_sprite/scraper.hpp"

#include <asio/io_context.hpp>
#include <exception>

#include "vendro/browser/blocking.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/executable.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/core/files.hpp"
#include "vendro/seller_sprite/errors.hpp"

namespace vendro::seller_sprite {

namespace {

SellerSpriteOrigin origin_of(const ScraperSettings& settings) {
  return settings.origin ? *settings.origin : SellerSpriteOrigin::from_environment();
}

// Runs `operation` to completion on an io_context of its own.
template <class T>
T run_on_new_loop(asio::awaitable<T> operation) {
  asio::io_context loop;
  return browser::run_blocking(loop, std::move(operation));
}

}  // namespace

SellerSpriteScraper::SellerSpriteScraper(ScraperSettings settings)
    : origin_(origin_of(settings)),
      headless(settings.headless),
      timeout_ms(settings.timeout_ms),
      profile_dir(config_dir() / "seller_sprite" / "browser_profile"),
      captcha_detector(),
      KEYWORD_MINING_URL(origin_.url("/v3/keyword-miner")),
      KEYWORD_REVERSE_URL(origin_.url("/v3/keyword-reverse")),
      LOGIN_URL(origin_.url("/w/user/login?callback=/v3/keyword-miner")),
      person_(settings.person ? settings.person : std::make_shared<TerminalOperator>()),
      progress_(std::move(settings.progress)) {}

void SellerSpriteScraper::_report(const std::string& message) const {
  if (progress_) progress_(message);
}

// ---- page context ---------------------------------------------------------------------------

// Entered once: starts the browser on the persistent profile and hands out its first page; the
// exit closes the browser (which closes the page with it).
class SellerSpriteScraper::PageContext {
 public:
  explicit PageContext(SellerSpriteScraper& outer) : outer_(outer) {}

  asio::awaitable<std::shared_ptr<browser::Page>> enter() {
    outer_._report("正在启动浏览器…");
    files::make_dirs(outer_.profile_dir);
    browser::PersistentContextOptions launch{
        .user_data_dir = outer_.profile_dir,
        .headless = outer_.headless,
        .viewport = browser::Viewport{.width = 1440, .height = 900},
        .locale = "zh-CN",
    };
    context_ = co_await browser::launch_persistent_context(launch);
    outer_.running_ = context_;
    std::vector<std::shared_ptr<browser::Page>> pages = context_->pages();
    if (!pages.empty()) {
      page_ = pages.front();
      co_return page_;
    }
    std::exception_ptr failure;
    try {
      page_ = co_await context_->new_page();
    } catch (...) {
      failure = std::current_exception();
    }
    if (failure) {
      // Nothing else would close a browser whose entry failed half-way.
      co_await exit();
      std::rethrow_exception(failure);
    }
    co_return page_;
  }

  asio::awaitable<void> exit() {
    if (!context_) co_return;
    outer_._report("正在关闭浏览器…");
    co_await context_->close();
    outer_.running_.reset();
  }

 private:
  SellerSpriteScraper& outer_;
  std::shared_ptr<browser::BrowserContext> context_;
  std::shared_ptr<browser::Page> page_;
};

void SellerSpriteScraper::_load_playwright() const {
  try {
    browser::find_executable();
  } catch (const browser::LaunchError&) {
    std::throw_with_nested(SellerSpriteDependencyError(
        "缺少 Chromium 浏览器，无法采集卖家精灵数据：请安装 Chromium（Debian：apt-get install "
        "chromium），或用环境变量 VENDRO_CHROMIUM 指定浏览器可执行文件"));
  }
}

SellerSpriteScraper::PageContext SellerSpriteScraper::_browser_page() {
  _load_playwright();
  return PageContext(*this);
}

asio::awaitable<Json> SellerSpriteScraper::_with_page(PageBody body) {
  PageContext context = _browser_page();
  std::shared_ptr<browser::Page> page = co_await context.enter();
  std::exception_ptr failure;
  Json result;
  try {
    result = co_await body(page);
  } catch (...) {
    failure = std::current_exception();
  }
  if (failure) {
    try {
      co_await context.exit();
    } catch (...) {
      // The body's error is the one the caller needs; the browser is killed regardless.
    }
    std::rethrow_exception(failure);
  }
  co_await context.exit();
  co_return result;
}

asio::awaitable<void> SellerSpriteScraper::stop_async() {
  if (auto context = running_.lock()) co_await context->close();
}

// ---- entry points ---------------------------------------------------------------------------

asio::awaitable<Json> SellerSpriteScraper::collect_async(CollectRequest request) {
  PageBody body = [this, request](std::shared_ptr<browser::Page> page) -> asio::awaitable<Json> {
    co_return co_await _collect_all_sections_with_page(page, request.options, request.run_dir,
                                                       request.account);
  };
  co_return co_await _with_page(body);
}

asio::awaitable<Json> SellerSpriteScraper::collect_frequency_async(RunRequest request) {
  co_return co_await _collect_section(request.options, request.run_dir, "frequency", "frequency");
}

asio::awaitable<Json> SellerSpriteScraper::collect_keyword_mining_async(RunRequest request) {
  co_return co_await _collect_section(request.options, request.run_dir, "keyword_mining",
                                      "keyword");
}

asio::awaitable<Json> SellerSpriteScraper::collect_keyword_reverse_async(CollectRequest request) {
  PageBody body = [this, request](std::shared_ptr<browser::Page> page) -> asio::awaitable<Json> {
    co_return co_await _collect_keyword_reverse_with_page(page, request.options, request.run_dir,
                                                          request.account);
  };
  co_return co_await _with_page(body);
}

asio::awaitable<Json> SellerSpriteScraper::archive_url_async(RunRequest request) {
  PageBody body = [this, request](std::shared_ptr<browser::Page> page) -> asio::awaitable<Json> {
    SellerSpriteArchiver archiver(request.run_dir);
    _report("正在打开页面：" + request.options.url);
    co_await _goto_and_settle(page, request.options.url);
    bool captcha_required = co_await captcha_detector.detect(page);
    _report("正在归档页面…");
    Json files = co_await archiver.archive_page(page, "archive");
    Json result = Json::object();
    result["files"] = std::move(files);
    result["captcha_required"] = captcha_required;
    result["missing_sections"] = Json::array();
    result["errors"] = Json::array();
    co_return result;
  };
  co_return co_await _with_page(body);
}

Json SellerSpriteScraper::collect(CollectRequest request) {
  return run_on_new_loop(collect_async(std::move(request)));
}
Json SellerSpriteScraper::collect_frequency(RunRequest request) {
  return run_on_new_loop(collect_frequency_async(std::move(request)));
}
Json SellerSpriteScraper::collect_keyword_mining(RunRequest request) {
  return run_on_new_loop(collect_keyword_mining_async(std::move(request)));
}
Json SellerSpriteScraper::collect_keyword_reverse(CollectRequest request) {
  return run_on_new_loop(collect_keyword_reverse_async(std::move(request)));
}
Json SellerSpriteScraper::archive_url(RunRequest request) {
  return run_on_new_loop(archive_url_async(std::move(request)));
}
Json SellerSpriteScraper::login() {
  return run_on_new_loop(login_async());
}
Json SellerSpriteScraper::login_status(RunRequest request) {
  return run_on_new_loop(login_status_async(std::move(request)));
}

}  // namespace vendro::seller_sprite
