#pragma once
// The blocking form of the driver, for synchronous callers: every operation of the asynchronous
// core (browser.hpp, page.hpp, locator.hpp, network.hpp), each run to completion on the io_context
// of the Driver it came from. While a blocking call waits, the loop runs everything else that is
// ready (network events, event listeners, the connection's reader) on the calling thread.
//
// Threading: one thread per Driver. Event handlers run on that thread while a blocking call of
// the same driver waits; they must not make blocking calls themselves (collect what they need,
// and act after the call returns). Ownership: the objects share the driver's loop; dropping every
// object of a driver kills its browsers.

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>
#include <variant>

#include "vendro/browser/browser.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/locator.hpp"

namespace vendro::browser {

namespace detail {
template <class T>
using Slot = std::optional<std::conditional_t<std::is_void_v<T>, std::monostate, T>>;

template <class T>
asio::awaitable<void> store_result(asio::awaitable<T> operation, Slot<T>& slot) {
  if constexpr (std::is_void_v<T>) {
    co_await std::move(operation);
    slot.emplace();
  } else {
    slot.emplace(co_await std::move(operation));
  }
}
}  // namespace detail

// Runs `operation` on `io` and returns its value, or rethrows its exception. Blocks the calling
// thread until it ends; the operation's own timeouts bound that wait. Only one thread may run a
// given io_context.
template <class T>
T run_blocking(asio::io_context& io, asio::awaitable<T> operation) {
  detail::Slot<T> slot;
  std::exception_ptr error;
  bool done = false;
  asio::co_spawn(io, detail::store_result<T>(std::move(operation), slot),
                 [&](std::exception_ptr e) {
                   error = e;
                   done = true;
                 });
  io.restart();
  while (!done && io.run_one() > 0) {
  }
  if (!done) throw BrowserError("内部错误：事件循环在操作完成前停止");
  if (error) std::rethrow_exception(error);
  if constexpr (!std::is_void_v<T>) return std::move(*slot);
}

namespace blocking {

using Loop = std::shared_ptr<asio::io_context>;
using browser::Request;

// A response; its body is read on the driver's loop (not from inside an event handler).
class Response {
 public:
  Response(Loop loop, std::shared_ptr<browser::Response> response)
      : loop_(std::move(loop)), response_(std::move(response)) {}
  const std::string& url() const { return response_->url(); }
  int status() const { return response_->status(); }
  const Json& headers() const { return response_->headers(); }
  const std::vector<Header>& headers_array() const { return response_->headers_array(); }
  std::shared_ptr<Request> request() const { return response_->request(); }
  // The body as text (bytes as received: a streamed answer need not be JSON).
  std::string text() const { return run_blocking(*loop_, response_->body()); }
  Json json() const { return run_blocking(*loop_, response_->json()); }
  const std::shared_ptr<browser::Response>& async_response() const { return response_; }

 private:
  Loop loop_;
  std::shared_ptr<browser::Response> response_;
};

class Locator {
 public:
  Locator(Loop loop, browser::Locator locator)
      : loop_(std::move(loop)), locator_(std::move(locator)) {}
  Locator first() const { return wrap(locator_.first()); }
  Locator last() const { return wrap(locator_.last()); }
  Locator nth(int index) const { return wrap(locator_.nth(index)); }
  Locator locator(const std::string& selector) const { return wrap(locator_.locator(selector)); }
  Locator get_by_text(const std::string& text) const { return wrap(locator_.get_by_text(text)); }
  Locator filter(const std::string& has_text) const { return wrap(locator_.filter(has_text)); }

  int count() const { return run_blocking(*loop_, locator_.count()); }
  void click(ActionOptions options = {}) const { run_blocking(*loop_, locator_.click(options)); }
  void fill(const std::string& value, ActionOptions options = {}) const {
    run_blocking(*loop_, locator_.fill(value, options));
  }
  void press(const std::string& key, ActionOptions options = {}) const {
    run_blocking(*loop_, locator_.press(key, options));
  }
  bool is_visible() const { return run_blocking(*loop_, locator_.is_visible()); }
  std::string inner_text(ActionOptions options = {}) const {
    return run_blocking(*loop_, locator_.inner_text(options));
  }
  void scroll_into_view_if_needed(ActionOptions options = {}) const {
    run_blocking(*loop_, locator_.scroll_into_view_if_needed(options));
  }
  void wait_for(WaitForOptions options = {}) const {
    run_blocking(*loop_, locator_.wait_for(options));
  }
  std::string screenshot(ActionOptions options = {}) const {
    return run_blocking(*loop_, locator_.screenshot(options));
  }
  const std::string& description() const { return locator_.description(); }
  const browser::Locator& async_locator() const { return locator_; }

 private:
  Locator wrap(browser::Locator locator) const { return Locator(loop_, std::move(locator)); }

  Loop loop_;
  browser::Locator locator_;
};

class Page {
 public:
  Page(Loop loop, std::shared_ptr<browser::Page> page)
      : loop_(std::move(loop)), page_(std::move(page)) {}
  void goto_url(const std::string& url, GotoOptions options = {}) {
    run_blocking(*loop_, page_->goto_url(url, options));
  }
  void wait_for_load_state(LoadState state = LoadState::load,
                           long long timeout_ms = DEFAULT_TIMEOUT_MS) {
    run_blocking(*loop_, page_->wait_for_load_state(state, timeout_ms));
  }
  void wait_for_timeout(long long ms) { run_blocking(*loop_, page_->wait_for_timeout(ms)); }
  const std::string& url() const { return page_->url(); }
  Json evaluate(const std::string& script, std::optional<Json> argument = std::nullopt,
                long long timeout_ms = 0) {
    return run_blocking(*loop_, page_->evaluate(script, std::move(argument), timeout_ms));
  }
  Locator locator(const std::string& selector) { return Locator(loop_, page_->locator(selector)); }
  Locator get_by_text(const std::string& text) { return Locator(loop_, page_->get_by_text(text)); }
  // Presses a key on the focused element (see Keyboard::press).
  void press(const std::string& key) { run_blocking(*loop_, page_->keyboard().press(key)); }

  // Listeners run on the driver's thread while a blocking call waits; see the top of this file.
  ListenerId on_request(std::function<void(std::shared_ptr<Request>)> handler) {
    return page_->on_request(
        [handler = std::move(handler)](std::shared_ptr<Request> request) -> asio::awaitable<void> {
          handler(std::move(request));
          co_return;
        });
  }
  ListenerId on_response(std::function<void(Response)> handler) {
    return page_->on_response([loop = loop_, handler = std::move(handler)](
                                  std::shared_ptr<browser::Response> r) -> asio::awaitable<void> {
      handler(Response(loop, std::move(r)));
      co_return;
    });
  }
  void remove_listener(ListenerId id) { page_->remove_listener(id); }
  // The first request (response) from now on that satisfies `predicate` (any, when empty).
  std::shared_ptr<Request> wait_for_request(RequestPredicate predicate = {},
                                            long long timeout_ms = DEFAULT_TIMEOUT_MS) {
    return run_blocking(*loop_, page_->wait_for_request(std::move(predicate), timeout_ms));
  }
  Response wait_for_response(ResponsePredicate predicate = {},
                             long long timeout_ms = DEFAULT_TIMEOUT_MS) {
    return Response(
        loop_, run_blocking(*loop_, page_->wait_for_response(std::move(predicate), timeout_ms)));
  }
  std::string content() { return run_blocking(*loop_, page_->content()); }
  std::string screenshot(ScreenshotOptions options = {}) {
    return run_blocking(*loop_, page_->screenshot(options));
  }
  void close() { run_blocking(*loop_, page_->close()); }
  bool is_closed() const { return page_->is_closed(); }
  const std::shared_ptr<browser::Page>& async_page() const { return page_; }

 private:
  Loop loop_;
  std::shared_ptr<browser::Page> page_;
};

class BrowserContext {
 public:
  BrowserContext(Loop loop, std::shared_ptr<browser::BrowserContext> context)
      : loop_(std::move(loop)), context_(std::move(context)) {}
  std::vector<Page> pages() const {
    std::vector<Page> out;
    for (auto& page : context_->pages()) out.emplace_back(loop_, page);
    return out;
  }
  Page new_page() { return Page(loop_, run_blocking(*loop_, context_->new_page())); }
  void add_cookies(Json cookies) {
    run_blocking(*loop_, context_->add_cookies(std::move(cookies)));
  }
  Json cookies() { return run_blocking(*loop_, context_->cookies()); }
  void close() { run_blocking(*loop_, context_->close()); }

 private:
  Loop loop_;
  std::shared_ptr<browser::BrowserContext> context_;
};

class Browser {
 public:
  Browser(Loop loop, std::shared_ptr<browser::Browser> browser)
      : loop_(std::move(loop)), browser_(std::move(browser)) {}
  BrowserContext new_context(NewContextOptions options = {}) {
    return BrowserContext(loop_, run_blocking(*loop_, browser_->new_context(std::move(options))));
  }
  void close() { run_blocking(*loop_, browser_->close()); }
  const std::string& version() const { return browser_->version(); }
  bool is_connected() const { return browser_->is_connected(); }
  pid_t pid() const { return browser_->pid(); }

 private:
  Loop loop_;
  std::shared_ptr<browser::Browser> browser_;
};

// The entry point: owns the loop for as long as any object made from it lives.
class Driver {
 public:
  Driver() : loop_(std::make_shared<asio::io_context>()) {}
  Browser launch(LaunchOptions options = {}) {
    return Browser(loop_, run(browser::launch(std::move(options))));
  }
  BrowserContext launch_persistent_context(PersistentContextOptions options) {
    return BrowserContext(loop_, run(browser::launch_persistent_context(std::move(options))));
  }
  // Any other asynchronous operation of the driver, run to completion on this driver's loop.
  template <class T>
  T run(asio::awaitable<T> operation) {
    return run_blocking(*loop_, std::move(operation));
  }

 private:
  Loop loop_;
};

}  // namespace blocking

}  // namespace vendro::browser
