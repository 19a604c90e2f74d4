// Page state from protocol events: the main frame's document, its load states, network idleness,
// and the page's own closing.

#include "vendro/browser/page.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "vendro/browser/base64.hpp"
#include "vendro/browser/errors.hpp"

namespace vendro::browser {

namespace {
constexpr auto NETWORK_IDLE_QUIET = std::chrono::milliseconds(500);
// Large enough for the multi-megabyte JSON answers callers capture.
constexpr long long MAX_RESOURCE_BUFFER = 64LL * 1024 * 1024;
constexpr long long MAX_TOTAL_BUFFER = 256LL * 1024 * 1024;
constexpr long long MAX_POST_DATA = 1024LL * 1024;
}  // namespace

LoadState parse_load_state(std::string_view text) {
  if (text == "commit") return LoadState::commit;
  if (text == "domcontentloaded") return LoadState::domcontentloaded;
  if (text == "load") return LoadState::load;
  if (text == "networkidle") return LoadState::networkidle;
  throw InputError("未知的页面加载状态：\"" + std::string(text) +
                   "\"（可用：commit、domcontentloaded、load、networkidle）");
}

std::string_view to_string(LoadState state) {
  switch (state) {
    case LoadState::commit:
      return "commit";
    case LoadState::domcontentloaded:
      return "domcontentloaded";
    case LoadState::load:
      return "load";
    case LoadState::networkidle:
      return "networkidle";
  }
  return "load";
}

Page::Page(Key, asio::any_io_executor executor, std::shared_ptr<Session> session,
           std::string target_id, std::weak_ptr<BrowserContext> context)
    : executor_(executor),
      session_(std::move(session)),
      target_id_(std::move(target_id)),
      context_(std::move(context)),
      network_(std::make_shared<NetworkManager>(executor, session_)),
      mouse_(session_),
      keyboard_(session_),
      idle_timer_(executor) {}

asio::awaitable<void> Page::initialize(PageSetup setup) {
  // Weak: the page's update callback must not keep the page alive.
  network_->on_inflight_change([weak = weak_from_this()] {
    if (auto self = weak.lock()) self->update_network_idle();
  });
  // All set-up commands go out at once; the tab stays paused until the last one.
  std::vector<std::shared_ptr<PendingCall>> calls;
  auto send = [&](std::string method, Json params = Json::object()) {
    auto call = session_->send(std::move(method), std::move(params));
    calls.push_back(call);
    return call;
  };
  if (setup.locale && setup.user_agent.empty()) {
    Json version =
        co_await session_->connection()->call("Browser.getVersion", Json::object(), NO_DEADLINE);
    setup.user_agent = version.value("userAgent", "");
  }
  send("Page.enable");
  auto tree = send("Page.getFrameTree");
  send("Page.setLifecycleEventsEnabled", {{"enabled", true}});
  send("Network.enable", {{"maxTotalBufferSize", MAX_TOTAL_BUFFER},
                          {"maxResourceBufferSize", MAX_RESOURCE_BUFFER},
                          {"maxPostDataSize", MAX_POST_DATA}});
  if (setup.viewport) {
    send("Emulation.setDeviceMetricsOverride", {{"width", setup.viewport->width},
                                                {"height", setup.viewport->height},
                                                {"deviceScaleFactor", 1},
                                                {"mobile", false}});
  }
  if (setup.locale) {
    send("Emulation.setLocaleOverride", {{"locale", *setup.locale}});
    send("Network.setUserAgentOverride",
         {{"userAgent", setup.user_agent}, {"acceptLanguage", *setup.locale}});
  }
  proxy_credentials_ = std::move(setup.proxy_credentials);
  if (proxy_credentials_) {
    // Chromium takes no proxy credentials on its command line (where every local user could read
    // them): the proxy's challenge is answered here instead, which needs every request paused.
    send("Fetch.enable",
         {{"handleAuthRequests", true}, {"patterns", Json::array({{{"urlPattern", "*"}}})}});
  }
  send("Runtime.runIfWaitingForDebugger");
  for (auto& call : calls) {
    Json result = co_await session_->result(call);
    if (call != tree) continue;
    const Json& frame = result["frameTree"]["frame"];
    const std::string loader = frame.value("loaderId", "");
    if (main_frame_id_.empty()) main_frame_id_ = frame.value("id", "");
    if (loader_.empty() || loader != loader_) {
      // A document that was there before we listened: take it as fully loaded.
      url_ = frame.value("url", "");
      new_document(loader);
      dom_ready_ = loaded_ = true;
      update_network_idle();
    }
  }
}

void Page::handle_event(std::string_view method, const Json& params) {
  if (closed_) return;
  if (method.starts_with("Network.")) {
    if (method == "Network.loadingFailed" && params.value("type", "") == "Document") {
      // A document request's id is its navigation's loader id.
      if (failed_navigations_.size() > 64) failed_navigations_.clear();
      failed_navigations_[params.value("requestId", "")] = params.value("errorText", "failed");
      changed_.notify_all();
    }
    network_->handle_event(method, params);
    return;
  }
  if (method == "Page.lifecycleEvent") {
    if (params.value("frameId", "") != main_frame_id_) return;
    const std::string loader = params.value("loaderId", "");
    const std::string name = params.value("name", "");
    if (name == "init" || name == "commit") {
      if (loader != loader_) new_document(loader);
      return;
    }
    if (loader != loader_) return;
    if (name == "DOMContentLoaded") {
      dom_ready_ = true;
    } else if (name == "load") {
      dom_ready_ = loaded_ = true;
      update_network_idle();
    } else {
      return;
    }
    changed_.notify_all();
  } else if (method == "Page.frameNavigated") {
    auto found = params.find("frame");
    if (found == params.end() || !found->is_object() || found->contains("parentId")) return;
    const Json& frame = *found;
    main_frame_id_ = frame.value("id", "");
    url_ = frame.value("url", "") + frame.value("urlFragment", "");
    const std::string loader = frame.value("loaderId", "");
    if (loader != loader_) new_document(loader);
    changed_.notify_all();
  } else if (method == "Page.navigatedWithinDocument") {
    if (params.value("frameId", "") == main_frame_id_) url_ = params.value("url", url_);
    changed_.notify_all();
  } else if (method.starts_with("Fetch.")) {
    handle_fetch_event(method, params);
  } else if (method == "Inspector.targetCrashed") {
    mark_closed();
  }
}

void Page::handle_fetch_event(std::string_view method, const Json& params) {
  const std::string request_id = params.value("requestId", "");
  if (method == "Fetch.requestPaused") {
    if (blank_fulfilment_) {
      session_->send(
          "Fetch.fulfillRequest",
          {{"requestId", request_id},
           {"responseCode", 200},
           {"responseHeaders", Json::array({{{"name", "Content-Type"}, {"value", "text/html"}}})},
           {"body", base64_encode("<!DOCTYPE html><html></html>")}});
    } else {
      session_->send("Fetch.continueRequest", {{"requestId", request_id}});
    }
  } else if (method == "Fetch.authRequired") {
    // Our credentials go to the proxy once per request; a second challenge means they were
    // refused, and answering again would only loop.
    Json answer = {{"response", "Default"}};
    const bool from_proxy =
        params.contains("authChallenge") && params["authChallenge"].value("source", "") == "Proxy";
    if (from_proxy && proxy_credentials_) {
      if (proxy_challenges_answered_.insert(request_id).second) {
        answer = {{"response", "ProvideCredentials"},
                  {"username", proxy_credentials_->username},
                  {"password", proxy_credentials_->password}};
      } else {
        answer = {{"response", "CancelAuth"}};
      }
    }
    if (proxy_challenges_answered_.size() > 4096) proxy_challenges_answered_.clear();
    session_->send("Fetch.continueWithAuth",
                   {{"requestId", request_id}, {"authChallengeResponse", std::move(answer)}});
  }
}

void Page::new_document(const std::string& loader_id) {
  loader_ = loader_id;
  committed_loaders_.insert(loader_id);
  ++document_number_;
  dom_ready_ = loaded_ = network_idle_ = false;
  ++idle_generation_;
  idle_armed_ = false;
  idle_timer_.cancel();
  changed_.notify_all();
}

void Page::update_network_idle() {
  if (closed_ || network_idle_) return;
  if (!loaded_ || network_->inflight() > 0) {
    if (idle_armed_) {
      ++idle_generation_;
      idle_armed_ = false;
      idle_timer_.cancel();
    }
    return;
  }
  if (idle_armed_) return;
  idle_armed_ = true;
  idle_timer_.expires_after(NETWORK_IDLE_QUIET);
  idle_timer_.async_wait(
      [weak = weak_from_this(), generation = idle_generation_](std::error_code ec) {
        auto self = weak.lock();
        if (ec || !self || generation != self->idle_generation_ || self->closed_) return;
        self->idle_armed_ = false;
        self->network_idle_ = true;
        self->changed_.notify_all();
      });
}

bool Page::reached(LoadState state) const {
  switch (state) {
    case LoadState::commit:
      return !loader_.empty();
    case LoadState::domcontentloaded:
      return dom_ready_;
    case LoadState::load:
      return loaded_;
    case LoadState::networkidle:
      return network_idle_;
  }
  return false;
}

void Page::mark_closed() {
  if (closed_) return;
  closed_ = true;
  ++idle_generation_;
  idle_timer_.cancel();
  network_->mark_closed();
  session_->detach();
  changed_.notify_all();
}

void Page::ensure_open() const {
  if (closed_ || session_->closed()) throw TargetClosedError(CLOSED_MESSAGE);
}

void Page::throw_timeout(long long timeout_ms, const std::string& what) const {
  throw TimeoutError("超时 " + std::to_string(timeout_ms) + "ms：" + what);
}

asio::awaitable<void> Page::close() {
  if (closed_ || session_->closed()) {
    mark_closed();
    co_return;
  }
  auto self = shared_from_this();
  try {
    Json params = {{"targetId", target_id_}};
    co_await session_->connection()->call("Target.closeTarget", std::move(params),
                                          deadline_after(DEFAULT_TIMEOUT_MS));
  } catch (const TargetClosedError&) {
    // Gone already.
  }
  co_await changed_.wait_until([&] { return closed_ || session_->connection()->closed(); },
                               deadline_after(DEFAULT_TIMEOUT_MS));
  mark_closed();
}

asio::awaitable<void> Page::fulfill_requests_with_blank_page() {
  blank_fulfilment_ = true;
  Json params = {{"patterns", Json::array({{{"urlPattern", "*"}}})}};
  if (proxy_credentials_) params["handleAuthRequests"] = true;
  co_await session_->call("Fetch.enable", std::move(params));
}

ListenerId Page::on_request(RequestHandler handler) {
  return network_->add_request_listener(std::move(handler));
}

ListenerId Page::on_response(ResponseHandler handler) {
  return network_->add_response_listener(std::move(handler));
}

void Page::remove_listener(ListenerId id) {
  network_->remove_listener(id);
}

}  // namespace vendro::browser
