// Page navigation, load-state waits, plain waits and waits for network events.

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <deque>

#include "vendro/browser/errors.hpp"
#include "vendro/browser/page.hpp"

namespace vendro::browser {

asio::awaitable<void> Page::goto_url(std::string url, GotoOptions options) {
  const LoadState state = options.wait_until;
  ensure_open();
  auto self = shared_from_this();
  const Deadline deadline = deadline_after(options.timeout_ms);
  const std::string what =
      "page.goto(\"" + url + "\")，等待 \"" + std::string(to_string(state)) + "\" 状态";
  Json reply;
  try {
    Json params = {{"url", url}};
    reply = co_await session_->call("Page.navigate", std::move(params), deadline);
  } catch (const TimeoutError&) {
    throw_timeout(options.timeout_ms, what);
  } catch (const ProtocolError&) {
    std::throw_with_nested(NavigationError("无法打开页面：" + url));
  }
  if (auto error = reply.value("errorText", ""); !error.empty()) {
    throw NavigationError("打开页面失败（" + error + "）：" + url);
  }
  const std::string loader = reply.value("loaderId", "");
  if (loader.empty()) co_return;  // moved within the same document
  const bool ok = co_await changed_.wait_until(
      [&] {
        return closed_ || failed_navigations_.contains(loader) ||
               (committed_loaders_.contains(loader) && reached(state));
      },
      deadline);
  ensure_open();
  if (auto failed = failed_navigations_.find(loader); failed != failed_navigations_.end()) {
    throw NavigationError("打开页面失败（" + failed->second + "）：" + url);
  }
  if (!ok) throw_timeout(options.timeout_ms, what);
}

asio::awaitable<void> Page::wait_for_load_state(LoadState state, long long timeout_ms) {
  ensure_open();
  auto self = shared_from_this();
  const bool ok = co_await changed_.wait_until([&] { return closed_ || reached(state); },
                                               deadline_after(timeout_ms));
  ensure_open();
  if (!ok) {
    throw_timeout(timeout_ms, "page.wait_for_load_state(\"" + std::string(to_string(state)) +
                                  "\")，当前页面 " + url_);
  }
}

asio::awaitable<void> Page::wait_for_timeout(long long ms) {
  ensure_open();
  asio::steady_timer timer(executor_, std::chrono::milliseconds(ms > 0 ? ms : 0));
  co_await timer.async_wait(asio::use_awaitable);
}

namespace {

// Collects events from a temporary listener until one satisfies the predicate.
template <class Item>
struct EventQueue {
  std::deque<std::shared_ptr<Item>> items;
  Notifier arrived;
};

template <class Item, class Predicate, class AddListener>
asio::awaitable<std::shared_ptr<Item>> wait_for_event(Page& page, const char* event_name,
                                                      Predicate predicate, long long timeout_ms,
                                                      AddListener add_listener) {
  auto queue = std::make_shared<EventQueue<Item>>();
  const ListenerId id = add_listener([queue](std::shared_ptr<Item> item) -> asio::awaitable<void> {
    queue->items.push_back(std::move(item));
    queue->arrived.notify_all();
    co_return;
  });
  struct Remove {
    Page& page;
    ListenerId id;
    ~Remove() { page.remove_listener(id); }
  } remove{page, id};
  const Deadline deadline = deadline_after(timeout_ms);
  for (;;) {
    const bool ok = co_await queue->arrived.wait_until(
        [&] { return !queue->items.empty() || page.is_closed(); }, deadline);
    while (!queue->items.empty()) {
      auto item = std::move(queue->items.front());
      queue->items.pop_front();
      if (!predicate || predicate(*item)) co_return item;
    }
    if (page.is_closed()) throw TargetClosedError(CLOSED_MESSAGE);
    if (!ok) {
      throw TimeoutError("超时 " + std::to_string(timeout_ms) + "ms：page.wait_for_event(\"" +
                         event_name + "\")，当前页面 " + page.url());
    }
  }
}

}  // namespace

asio::awaitable<std::shared_ptr<Request>> Page::wait_for_request(RequestPredicate predicate,
                                                                 long long timeout_ms) {
  ensure_open();
  auto self = shared_from_this();
  co_return co_await wait_for_event<Request>(
      *this, "request", std::move(predicate), timeout_ms,
      [this](RequestHandler handler) { return on_request(std::move(handler)); });
}

asio::awaitable<std::shared_ptr<Response>> Page::wait_for_response(ResponsePredicate predicate,
                                                                   long long timeout_ms) {
  ensure_open();
  auto self = shared_from_this();
  co_return co_await wait_for_event<Response>(
      *this, "response", std::move(predicate), timeout_ms,
      [this](ResponseHandler handler) { return on_response(std::move(handler)); });
}

}  // namespace vendro::browser
