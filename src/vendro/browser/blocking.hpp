#pragma once
// The bridge from blocking callers to the asynchronous driver: run one operation to completion on
// an io_context that the caller owns, running every other ready handler (network events, event
// listeners, the connection's reader) while it waits. Only one thread may run a given io_context.

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

#include "vendro/browser/browser.hpp"
#include "vendro/browser/errors.hpp"

namespace vendro::browser {

// Runs `operation` on `io` and returns its value, or rethrows its exception. Blocks the calling
// thread until it ends; the operation's own timeouts bound that wait.
template <class T>
T run_blocking(asio::io_context& io, asio::awaitable<T> operation) {
  std::exception_ptr error;
  bool done = false;
  if constexpr (std::is_void_v<T>) {
    asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e) {
      error = e;
      done = true;
    });
    io.restart();
    while (!done && io.run_one() > 0) {
    }
    if (!done) throw BrowserError("内部错误：事件循环在操作完成前停止");
    if (error) std::rethrow_exception(error);
  } else {
    std::optional<T> value;
    asio::co_spawn(io, std::move(operation), [&](std::exception_ptr e, T v) {
      error = e;
      if (!e) value.emplace(std::move(v));
      done = true;
    });
    io.restart();
    while (!done && io.run_one() > 0) {
    }
    if (!done) throw BrowserError("内部错误：事件循环在操作完成前停止");
    if (error) std::rethrow_exception(error);
    return std::move(*value);
  }
}

// The blocking form of the driver for synchronous callers. Each object runs the asynchronous
// code on the io_context of the Driver it came from, which the objects keep alive. Event handlers
// run on the calling thread while a blocking call of the same driver waits (goto, waits,
// evaluate...); they must not make blocking calls themselves. One thread per driver.
namespace blocking {

using Loop = std::shared_ptr<asio::io_context>;

class Page {
 public:
  Page(Loop loop, std::shared_ptr<browser::Page> page)
      : loop_(std::move(loop)), page_(std::move(page)) {}
  void goto_url(const std::string& url, GotoOptions options = {}) {
    run_blocking(*loop_, page_->goto_url(url, options));
  }
  void wait_for_load_state(const std::string& state = "load",
                           long long timeout_ms = DEFAULT_TIMEOUT_MS) {
    run_blocking(*loop_, page_->wait_for_load_state(state, timeout_ms));
  }
  void wait_for_timeout(long long ms) { run_blocking(*loop_, page_->wait_for_timeout(ms)); }
  const std::string& url() const { return page_->url(); }
  Json evaluate(const std::string& script, std::optional<Json> argument = std::nullopt,
                long long timeout_ms = 0) {
    return run_blocking(*loop_, page_->evaluate(script, std::move(argument), timeout_ms));
  }
  ListenerId on_request(std::function<void(std::shared_ptr<Request>)> handler) {
    return page_->on_request(
        [handler = std::move(handler)](std::shared_ptr<Request> request) -> asio::awaitable<void> {
          handler(std::move(request));
          co_return;
        });
  }
  ListenerId on_response(std::function<void(std::shared_ptr<Response>)> handler) {
    return page_->on_response([handler = std::move(handler)](
                                  std::shared_ptr<Response> response) -> asio::awaitable<void> {
      handler(std::move(response));
      co_return;
    });
  }
  void remove_listener(ListenerId id) { page_->remove_listener(id); }
  std::shared_ptr<Request> wait_for_request(RequestPredicate predicate = {},
                                            long long timeout_ms = DEFAULT_TIMEOUT_MS) {
    return run_blocking(*loop_, page_->wait_for_request(std::move(predicate), timeout_ms));
  }
  std::shared_ptr<Response> wait_for_response(ResponsePredicate predicate = {},
                                              long long timeout_ms = DEFAULT_TIMEOUT_MS) {
    return run_blocking(*loop_, page_->wait_for_response(std::move(predicate), timeout_ms));
  }
  // The body of a response caught by wait_for_response (not from inside a handler).
  Json json(const std::shared_ptr<Response>& response) {
    return run_blocking(*loop_, response->json());
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

 private:
  Loop loop_;
  std::shared_ptr<browser::Browser> browser_;
};

// The entry point: owns the loop. Dropping every object of a driver kills its browsers.
class Driver {
 public:
  Driver() : loop_(std::make_shared<asio::io_context>()) {}
  Browser launch(LaunchOptions options = {}) {
    return Browser(loop_, run_blocking(*loop_, browser::launch(std::move(options))));
  }
  BrowserContext launch_persistent_context(PersistentContextOptions options) {
    return BrowserContext(
        loop_, run_blocking(*loop_, browser::launch_persistent_context(std::move(options))));
  }

 private:
  Loop loop_;
};

}  // namespace blocking

}  // namespace vendro::browser
