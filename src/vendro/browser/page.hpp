#pragma once
// One browser tab: navigation and load states, script evaluation, network events, input, page
// HTML and screenshots. Made by the browser when a tab attaches; callers get pages from a
// BrowserContext and share them as long as needed. Every operation is a coroutine on the
// browser's io_context (not thread-safe). After the page, its context or the browser closed,
// operations throw TargetClosedError.
//
// Awaited operations take no default arguments (GCC 12 destroys a defaulted argument of an
// awaited call twice); the shorter overloads stand in for them.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "vendro/browser/executable.hpp"
#include "vendro/browser/input.hpp"
#include "vendro/browser/network.hpp"
#include "vendro/browser/notifier.hpp"
#include "vendro/browser/session.hpp"
#include "vendro/core/json.hpp"

namespace vendro::browser {

class Browser;
class BrowserContext;
class Locator;  // locator.hpp

// How far a navigation must get: the new document is committed, its DOM is parsed, it fired
// "load", or "load" then 500 ms with no request in flight.
enum class LoadState { commit, domcontentloaded, load, networkidle };

// Text forms, for the command line and the tool server: "commit" | "domcontentloaded" | "load" |
// "networkidle". Anything else throws InputError listing the valid names.
LoadState parse_load_state(std::string_view text);
std::string_view to_string(LoadState state);

inline constexpr long long DEFAULT_TIMEOUT_MS = 30000;

struct GotoOptions {
  LoadState wait_until = LoadState::load;
  long long timeout_ms = DEFAULT_TIMEOUT_MS;  // 0 waits without limit
};

struct ScreenshotOptions {
  bool full_page = true;
};

struct Viewport {
  int width = 1280;
  int height = 720;
};

// What every page of a context is set up with when it appears.
struct PageSetup {
  std::optional<Viewport> viewport;
  std::optional<std::string> locale;
  std::string user_agent;  // the browser's own, needed to override Accept-Language
  // What the launch proxy asks for, answered through the protocol (a command line is readable by
  // every local user, and Chromium ignores credentials there anyway).
  std::optional<ProxyCredentials> proxy_credentials;
};

using RequestPredicate = std::function<bool(const Request&)>;
using ResponsePredicate = std::function<bool(const Response&)>;

class Page : public std::enable_shared_from_this<Page> {
 public:
  // Only the browser makes pages (make_shared needs a public constructor; the key keeps it ours).
  class Key {
    friend class Browser;
    Key() = default;
  };
  Page(Key, asio::any_io_executor executor, std::shared_ptr<Session> session, std::string target_id,
       std::weak_ptr<BrowserContext> context);

  // Opens `url` and waits for `wait_until`. Throws NavigationError when the browser cannot open
  // it (the message names the network error and the URL), TimeoutError naming the URL, the state
  // and the time.
  asio::awaitable<void> goto_url(std::string url, GotoOptions options);
  asio::awaitable<void> goto_url(std::string url) {
    return goto_url(std::move(url), GotoOptions{});
  }
  // Waits until the current document reached `state`; returns at once when it already has.
  // `timeout_ms` 0 waits without limit.
  asio::awaitable<void> wait_for_load_state(LoadState state, long long timeout_ms);
  asio::awaitable<void> wait_for_load_state(LoadState state) {
    return wait_for_load_state(state, DEFAULT_TIMEOUT_MS);
  }
  // Sleeps `ms` milliseconds while the loop (and event handlers) keep running.
  asio::awaitable<void> wait_for_timeout(long long ms);
  // The main frame's URL as of the last navigation event.
  const std::string& url() const { return url_; }

  // Runs `script` in the page and returns its JSON value, awaiting a returned promise. A script
  // that is a function (`() => ...`, `async (x) => ...`, `function ...`) is called with
  // `argument` (undefined when absent). Undefined gives null. Throws EvaluationError with the
  // page's error text when the script throws, TimeoutError after `timeout_ms` (0: no limit).
  // A script cut short by a navigation runs again in the new document (up to twice).
  asio::awaitable<Json> evaluate(std::string script, std::optional<Json> argument,
                                 long long timeout_ms);
  asio::awaitable<Json> evaluate(std::string script, std::optional<Json> argument) {
    return evaluate(std::move(script), std::move(argument), 0);
  }
  asio::awaitable<Json> evaluate(std::string script) {
    return evaluate(std::move(script), std::nullopt, 0);
  }

  // Elements matching `selector` (see locator.hpp); resolved when an action runs.
  Locator locator(const std::string& selector);
  // The smallest elements whose text contains `text` (case and white space ignored).
  Locator get_by_text(const std::string& text);

  // Real input events at viewport coordinates and to the focused element.
  Mouse& mouse() { return mouse_; }
  Keyboard& keyboard() { return keyboard_; }

  // Network events. Each event reaches each handler as its own coroutine on the browser's loop;
  // after remove_listener no further call starts. Exceptions of a handler end only that call.
  ListenerId on_request(RequestHandler handler);
  ListenerId on_response(ResponseHandler handler);
  void remove_listener(ListenerId id);
  // The first request (response) from now on that satisfies `predicate` (any, when empty).
  // Throws TimeoutError after `timeout_ms` (0: no limit), TargetClosedError when the page closes.
  asio::awaitable<std::shared_ptr<Request>> wait_for_request(RequestPredicate predicate,
                                                             long long timeout_ms);
  asio::awaitable<std::shared_ptr<Response>> wait_for_response(ResponsePredicate predicate,
                                                               long long timeout_ms);

  // The document's HTML, doctype included.
  asio::awaitable<std::string> content();
  // PNG bytes of the viewport, or of the whole page with `full_page`.
  asio::awaitable<std::string> screenshot(ScreenshotOptions options);
  asio::awaitable<std::string> screenshot() { return screenshot(ScreenshotOptions{}); }

  // Closes the tab and waits until the browser confirms. Closing a closed page does nothing.
  asio::awaitable<void> close();
  bool is_closed() const { return closed_; }
  std::shared_ptr<BrowserContext> context() const { return context_.lock(); }
  const std::string& target_id() const { return target_id_; }

 private:
  friend class Browser;
  friend class BrowserContext;
  friend class Locator;
  friend struct PageTestAccess;  // tests reach the selector engine's world

  // Enables the domains this page needs, applies `setup` and lets a paused tab run.
  asio::awaitable<void> initialize(PageSetup setup);
  void handle_event(std::string_view method, const Json& params);
  void handle_fetch_event(std::string_view method, const Json& params);
  void mark_closed();
  // Answers every request of this page with an empty HTML document (used to write the local
  // storage of origins without loading them).
  asio::awaitable<void> fulfill_requests_with_blank_page();
  Session& session() { return *session_; }
  // PNG bytes of `clip` ({x, y, width, height} in CSS pixels of the page) at scale 1. Chromium
  // is asked to render beyond the viewport only when the clip leaves `on_screen` (the same
  // shape): that lays the whole page out again and costs tens of milliseconds a shot.
  asio::awaitable<std::string> capture(const Json& clip, const Json& on_screen);

  // Evaluates the expression `make_call()` builds (using globalThis.__vendro, the selector
  // engine) in the main frame's isolated world of the current document, out of the page
  // scripts' reach: they can neither see the engine nor change the built-ins it uses. The world
  // is made, and the engine installed, on the first call after each navigation. A call cut short
  // by a navigation is built and run again in the next document, so a call that carries a
  // remaining time can recompute it. Returns the JSON value (promises are awaited). Throws
  // EvaluationError with the page's error text when the call throws, TimeoutError after
  // `deadline`, TargetClosedError.
  asio::awaitable<Json> call_selector_engine(const std::function<std::string()>& make_call,
                                             Deadline deadline);
  // Runs `attempt` until it is not cut short by its document going away: then it waits for the
  // next document and tries again, at most `max_attempts` times and never past `deadline`. A
  // protocol failure of another kind throws EvaluationError; an exhausted deadline TimeoutError.
  asio::awaitable<Json> in_current_document(const std::function<asio::awaitable<Json>()>& attempt,
                                            Deadline deadline, int max_attempts);

  bool reached(LoadState state) const;
  void new_document(const std::string& loader_id);
  void update_network_idle();
  void ensure_open() const;
  [[noreturn]] void throw_timeout(long long timeout_ms, const std::string& what) const;

  asio::any_io_executor executor_;
  std::shared_ptr<Session> session_;
  std::string target_id_;
  std::weak_ptr<BrowserContext> context_;
  std::shared_ptr<NetworkManager> network_;
  Mouse mouse_;
  Keyboard keyboard_;

  bool closed_ = false;
  bool blank_fulfilment_ = false;
  std::optional<ProxyCredentials> proxy_credentials_;
  std::unordered_set<std::string> proxy_challenges_answered_;  // by request id
  std::string main_frame_id_;
  std::string url_;
  std::string loader_;  // the current document
  std::unordered_set<std::string> committed_loaders_;
  std::unordered_map<std::string, std::string> failed_navigations_;  // loader id → error
  std::uint64_t document_number_ = 0;
  bool dom_ready_ = false;
  bool loaded_ = false;
  bool network_idle_ = false;
  // The selector engine's world: its execution context, the document it belongs to, and
  // whether the engine is known to be installed there.
  long long engine_context_ = 0;
  std::uint64_t engine_document_ = 0;
  bool engine_installed_ = false;
  asio::steady_timer idle_timer_;
  std::uint64_t idle_generation_ = 0;
  bool idle_armed_ = false;
  Notifier changed_;
};

}  // namespace vendro::browser
