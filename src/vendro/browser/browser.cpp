// Launching the browser and keeping track of its tabs from Target events.

#include "vendro/browser/browser.hpp"

#include <unistd.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>

#include "vendro/browser/errors.hpp"
#include "vendro/browser/executable.hpp"
#include "vendro/browser/profile_lock.hpp"
#include "vendro/core/files.hpp"

namespace vendro::browser {

namespace fs = std::filesystem;

namespace {
constexpr auto CLOSE_GRACE = std::chrono::seconds(5);
}

Browser::Browser(Key, asio::any_io_executor executor) : executor_(std::move(executor)) {}

Browser::~Browser() {
  if (connection_) connection_->close();
  process_.reset();  // kills the group if it still runs
}

asio::awaitable<void> Browser::start(Start start) {
  process_ = std::make_unique<BrowserProcess>(
      executor_,
      BrowserProcess::Options{
          .executable = start.executable, .args = start.args, .scratch_dir = start.scratch_dir});
  auto transport = std::make_shared<PipeTransport>(executor_, process_->take_command_fd(),
                                                   process_->take_reply_fd());
  connection_ = std::make_shared<Connection>(executor_, std::move(transport));
  connection_->set_event_handler("", [weak = weak_from_this()](std::string_view m, const Json& p) {
    if (auto self = weak.lock()) self->handle_event(m, p);
  });
  connection_->start([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->on_disconnected();
  });
  auto attach = connection_->send(
      "Target.setAutoAttach",
      {{"autoAttach", true}, {"waitForDebuggerOnStart", true}, {"flatten", true}});
  auto version = connection_->send("Browser.getVersion");
  bool exited = false;
  bool timed_out = false;
  Json info;
  try {
    co_await connection_->result(attach, start.deadline);
    info = co_await connection_->result(version, start.deadline);
  } catch (const TargetClosedError&) {
    exited = true;
  } catch (const TimeoutError&) {
    timed_out = true;
  }
  if (exited) {
    co_await process_->wait_exit(std::chrono::seconds(2));
    std::string tail = process_->stderr_tail();
    throw LaunchError("浏览器启动后立即退出（" + process_->exit_description() + "）：" +
                      start.executable.string() + (tail.empty() ? "" : "\n" + tail));
  }
  if (timed_out) {
    throw LaunchError("浏览器启动后没有按时响应：" + start.executable.string());
  }
  version_ = info.value("product", "");
  user_agent_ = info.value("userAgent", "");
}

void Browser::handle_event(std::string_view method, const Json& params) {
  if (method == "Target.attachedToTarget") {
    on_attached(params);
  } else if (method == "Target.detachedFromTarget") {
    on_detached(params);
  }
}

std::shared_ptr<BrowserContext> Browser::context_for(const std::string& id) const {
  if (auto found = contexts_.find(id); found != contexts_.end()) return found->second;
  return persistent_.lock();  // pages of the default context
}

void Browser::on_attached(const Json& params) {
  const std::string session = params.value("sessionId", "");
  auto found = params.find("targetInfo");
  if (found == params.end() || !found->is_object()) return;
  const Json& info = *found;
  const std::string type = info.value("type", "");
  auto context = context_for(info.value("browserContextId", ""));
  if (type != "page" || !context) {
    // Workers and the like are not driven; let them run and let go of them.
    connection_->send("Runtime.runIfWaitingForDebugger", Json::object(), session);
    connection_->send("Target.detachFromTarget", {{"sessionId", session}});
    return;
  }
  auto page = std::make_shared<Page>(Page::Key{}, executor_,
                                     std::make_shared<Session>(connection_, session),
                                     info.value("targetId", ""), context);
  pages_[session] = page;
  page->session().on_event([weak = std::weak_ptr<Page>(page)](std::string_view m, const Json& p) {
    if (auto page = weak.lock()) page->handle_event(m, p);
  });
  asio::co_spawn(
      executor_,
      [self = shared_from_this(), page, context,
       setup = context->page_setup()]() mutable -> asio::awaitable<void> {
        try {
          co_await page->initialize(std::move(setup));
        } catch (const std::exception&) {
          co_return;  // it closed while being set up
        }
        if (!page->is_closed()) context->add_page(page);
        self->pages_changed_.notify_all();
      },
      asio::detached);
}

void Browser::on_detached(const Json& params) {
  const std::string session = params.value("sessionId", "");
  auto found = pages_.find(session);
  if (found == pages_.end()) return;
  auto page = found->second;
  pages_.erase(found);
  page->mark_closed();
  if (auto context = page->context()) context->remove_page(page);
  pages_changed_.notify_all();
}

void Browser::on_disconnected() {
  auto pages = std::move(pages_);
  pages_.clear();
  for (auto& [session, page] : pages) {
    page->mark_closed();
    if (auto context = page->context()) context->remove_page(page);
  }
  pages_changed_.notify_all();
}

asio::awaitable<std::shared_ptr<Page>> Browser::page_for_target(std::string target_id,
                                                                Deadline deadline) {
  auto self = shared_from_this();
  std::shared_ptr<Page> found;
  auto ready = [&] {
    if (!is_connected()) return true;
    for (const auto& [session, page] : pages_) {
      if (page->target_id() != target_id) continue;
      auto context = page->context();
      if (!context) continue;
      for (const auto& listed : context->pages()) {
        if (listed == page) {
          found = page;
          return true;
        }
      }
    }
    return false;
  };
  const bool ok = co_await pages_changed_.wait_until(ready, deadline);
  if (found) co_return found;
  if (!ok) throw TimeoutError("超时：新标签页没有按时就绪");
  throw TargetClosedError(CLOSED_MESSAGE);
}

void Browser::adopt_persistent_context(const std::shared_ptr<BrowserContext>& context) {
  persistent_ = context;
  keeps_profile_ = true;
}

std::vector<std::shared_ptr<BrowserContext>> Browser::contexts() const {
  std::vector<std::shared_ptr<BrowserContext>> out;
  if (auto persistent = persistent_.lock()) out.push_back(persistent);
  for (const auto& [id, context] : contexts_) out.push_back(context);
  return out;
}

asio::awaitable<std::shared_ptr<BrowserContext>> Browser::new_context(NewContextOptions options) {
  auto self = shared_from_this();
  Json params = {{"disposeOnDetach", true}};
  Json reply = co_await connection_->call("Target.createBrowserContext", std::move(params),
                                          deadline_after(DEFAULT_TIMEOUT_MS));
  const std::string id = reply.value("browserContextId", "");
  auto context = std::make_shared<BrowserContext>(BrowserContext::Key{}, weak_from_this(), id,
                                                  page_setup(options.viewport, options.locale));
  contexts_[id] = context;
  const Json& state = options.storage_state;
  if (state.is_object()) {
    if (auto cookies = state.find("cookies"); cookies != state.end() && !cookies->empty()) {
      co_await context->add_cookies(*cookies);
    }
    if (auto origins = state.find("origins"); origins != state.end() && !origins->empty()) {
      co_await context->set_local_storage(*origins);
    }
  } else if (!state.is_null()) {
    throw InputError("storage_state 必须是 JSON 对象（含 cookies 与 origins）");
  }
  co_return context;
}

PageSetup Browser::page_setup(std::optional<Viewport> viewport,
                              std::optional<std::string> locale) const {
  return PageSetup{.viewport = std::move(viewport),
                   .locale = std::move(locale),
                   .user_agent = user_agent_,
                   .proxy_credentials = proxy_credentials_};
}

asio::awaitable<void> Browser::close() {
  if (closing_ || !process_) co_return;
  closing_ = true;
  auto self = shared_from_this();
  if (keeps_profile_) {
    // The profile persists: let the browser write it out before it exits.
    if (is_connected()) connection_->send("Browser.close");
    co_await process_->shutdown(CLOSE_GRACE);
  } else {
    // A temporary profile is thrown away, so there is nothing to wait for.
    process_->kill_now();
    co_await process_->shutdown(std::chrono::milliseconds(0));
  }
  connection_->close();
  on_disconnected();
}

asio::awaitable<std::shared_ptr<Browser>> launch(LaunchOptions options) {
  const Deadline deadline = deadline_after(options.timeout_ms);
  const fs::path executable = options.executable ? *options.executable : find_executable();
  if (options.executable && ::access(options.executable->c_str(), X_OK) != 0) {
    throw LaunchError("Executable doesn't exist：" + options.executable->string());
  }
  // The proxy settings are checked before anything is made that would need removing.
  const auto proxy = launch_proxy(options.args);
  auto browser = std::make_shared<Browser>(Browser::Key{}, co_await asio::this_coro::executor);
  if (proxy) browser->proxy_credentials_ = proxy->credentials;
  const fs::path scratch = make_scratch_dir();
  std::error_code ec;
  fs::create_directories(scratch / "profile", ec);
  // Named, not a temporary inside co_await: GCC 12 destroys such temporaries twice.
  Browser::Start start{.executable = executable,
                       .args = chromium_switches({.headless = options.headless,
                                                  .user_data_dir = scratch / "profile",
                                                  .extra = options.args}),
                       .scratch_dir = scratch,
                       .deadline = deadline};
  co_await browser->start(std::move(start));
  co_return browser;
}

asio::awaitable<std::shared_ptr<BrowserContext>> launch_persistent_context(
    PersistentContextOptions options) {
  const Deadline deadline = deadline_after(options.timeout_ms);
  const fs::path executable = options.executable ? *options.executable : find_executable();
  if (options.executable && ::access(options.executable->c_str(), X_OK) != 0) {
    throw LaunchError("Executable doesn't exist：" + options.executable->string());
  }
  files::make_dirs(options.user_data_dir);
  const fs::path profile = fs::absolute(options.user_data_dir);
  check_profile_lock(profile);
  std::vector<std::string> extra = options.args;
  if (options.viewport && !options.headless) {
    extra.push_back("--window-size=" + std::to_string(options.viewport->width) + "," +
                    std::to_string(options.viewport->height));
  }
  auto browser = std::make_shared<Browser>(Browser::Key{}, co_await asio::this_coro::executor);
  if (auto proxy = launch_proxy(extra)) browser->proxy_credentials_ = proxy->credentials;
  // The context exists before the first tab attaches, so that tab lands in it. The browser's
  // user agent is not known yet; a page that needs it asks.
  auto context = std::make_shared<BrowserContext>(
      BrowserContext::Key{}, browser, "", browser->page_setup(options.viewport, options.locale));
  browser->adopt_persistent_context(context);
  context->keep_browser_alive(browser);
  Browser::Start start{.executable = executable,
                       .args = chromium_switches({.headless = options.headless,
                                                  .user_data_dir = profile,
                                                  .open_blank_tab = true,
                                                  .locale = options.locale,
                                                  .extra = extra}),
                       .scratch_dir = make_scratch_dir(),
                       .deadline = deadline};
  co_await browser->start(std::move(start));
  const bool ok = co_await browser->pages_changed().wait_until(
      [&] { return !context->pages().empty() || !browser->is_connected(); }, deadline);
  if (context->pages().empty()) {
    throw LaunchError(ok ? "浏览器在打开第一个标签页前退出" : "浏览器没有按时打开第一个标签页");
  }
  co_return context;
}

}  // namespace vendro::browser
