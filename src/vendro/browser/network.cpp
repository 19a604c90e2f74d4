#include "vendro/browser/network.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "vendro/browser/base64.hpp"
#include "vendro/browser/errors.hpp"

namespace vendro::browser {

namespace {

// The protocol gives headers as an object whose repeated lines are joined by "\n".
std::vector<Header> header_lines(const Json& wire) {
  std::vector<Header> lines;
  if (!wire.is_object()) return lines;
  for (const auto& [name, value] : wire.items()) {
    const std::string text = value.is_string() ? value.get<std::string>() : value.dump();
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = text.find('\n', start);
      lines.push_back({name, text.substr(start, end - start)});
      if (end == std::string::npos) break;
      start = end + 1;
    }
  }
  return lines;
}

std::string ascii_lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::optional<std::string> inline_post_data(const Json& request, bool* missing) {
  *missing = false;
  // The entries carry the exact bytes; "postData" turns each byte of UTF-8 text into a character.
  if (auto entries = request.find("postDataEntries");
      entries != request.end() && entries->is_array() && !entries->empty()) {
    std::string body;
    for (const auto& entry : *entries) {
      if (entry.contains("bytes") && entry["bytes"].is_string()) {
        body += base64_decode(entry["bytes"].get_ref<const std::string&>());
      }
    }
    return body;
  }
  if (auto text = request.find("postData"); text != request.end() && text->is_string()) {
    return text->get<std::string>();
  }
  *missing = request.value("hasPostData", false);
  return std::nullopt;
}

}  // namespace

Json lower_case_headers(const std::vector<Header>& lines) {
  Json out = Json::object();
  for (const auto& line : lines) {
    const std::string name = ascii_lower(line.name);
    auto found = out.find(name);
    if (found == out.end()) {
      out[name] = line.value;
    } else {
      found->get_ref<std::string&>() += (name == "set-cookie" ? "\n" : ", ") + line.value;
    }
  }
  return out;
}

NetworkManager::NetworkManager(asio::any_io_executor executor, std::shared_ptr<Session> session)
    : executor_(std::move(executor)), session_(std::move(session)) {}

void NetworkManager::handle_event(std::string_view method, const Json& params) {
  if (method == "Network.requestWillBeSent") {
    on_request_will_be_sent(params);
  } else if (method == "Network.responseReceived") {
    on_response_received(params);
  } else if (method == "Network.loadingFinished") {
    on_loading_done(params, false);
  } else if (method == "Network.loadingFailed") {
    on_loading_done(params, true);
  }
}

void NetworkManager::on_request_will_be_sent(const Json& params) {
  const std::string id = params.value("requestId", "");
  if (id.empty()) return;
  std::shared_ptr<Request> previous;
  if (auto redirect = params.find("redirectResponse"); redirect != params.end()) {
    if (auto found = requests_.find(id); found != requests_.end()) previous = found->second;
    emit_response(make_response(*redirect, id, previous, /*redirect=*/true));
  }
  auto request = std::make_shared<Request>();
  request->id_ = id;
  const Json& wire = params.contains("request") ? params["request"] : Json::object();
  request->url_ = wire.value("url", "") + wire.value("urlFragment", "");
  request->method_ = wire.value("method", "GET");
  request->header_lines_ = header_lines(wire.value("headers", Json::object()));
  request->headers_ = lower_case_headers(request->header_lines_);
  request->post_data_ = inline_post_data(wire, &request->post_data_missing_);
  request->resource_type_ = params.value("type", "Other");
  request->redirected_from_ = previous;
  requests_[id] = request;
  loading_[id] = Loading{};
  if (inflight_.insert(id).second && inflight_changed_) inflight_changed_();
  emit_request(request);
}

std::shared_ptr<Response> NetworkManager::make_response(const Json& wire,
                                                        const std::string& request_id,
                                                        std::shared_ptr<Request> request,
                                                        bool redirect) {
  auto response = std::make_shared<Response>();
  response->manager_ = weak_from_this();
  response->request_id_ = request_id;
  response->url_ = wire.value("url", request ? request->url() : std::string());
  response->status_ = wire.value("status", 0);
  response->status_text_ = wire.value("statusText", "");
  response->header_lines_ = header_lines(wire.value("headers", Json::object()));
  response->headers_ = lower_case_headers(response->header_lines_);
  response->request_ = std::move(request);
  response->redirect_ = redirect;
  return response;
}

void NetworkManager::on_response_received(const Json& params) {
  const std::string id = params.value("requestId", "");
  if (id.empty() || !params.contains("response")) return;
  std::shared_ptr<Request> request;
  if (auto found = requests_.find(id); found != requests_.end()) request = found->second;
  loading_.try_emplace(id);
  emit_response(make_response(params["response"], id, std::move(request), false));
}

void NetworkManager::on_loading_done(const Json& params, bool failed) {
  const std::string id = params.value("requestId", "");
  auto& state = loading_[id];
  if (failed) {
    state.failure = params.value("errorText", "unknown");
  } else {
    state.finished = true;
  }
  requests_.erase(id);
  if (inflight_.erase(id) > 0 && inflight_changed_) inflight_changed_();
  loading_changed_.notify_all();
}

void NetworkManager::mark_closed() {
  closed_ = true;
  requests_.clear();
  inflight_.clear();
  loading_changed_.notify_all();
}

ListenerId NetworkManager::add_request_listener(RequestHandler handler) {
  const ListenerId id = next_listener_++;
  request_listeners_.emplace(id, std::move(handler));
  return id;
}

ListenerId NetworkManager::add_response_listener(ResponseHandler handler) {
  const ListenerId id = next_listener_++;
  response_listeners_.emplace(id, std::move(handler));
  return id;
}

void NetworkManager::remove_listener(ListenerId id) {
  request_listeners_.erase(id);
  response_listeners_.erase(id);
}

void NetworkManager::emit_request(const std::shared_ptr<Request>& request) {
  for (const auto& entry : request_listeners_) {
    const ListenerId id = entry.first;
    asio::co_spawn(
        executor_,
        [self = shared_from_this(), id, request]() -> asio::awaitable<void> {
          if (!self->request_listeners_.contains(id)) co_return;
          if (request->post_data_missing_) {
            co_await self->complete_post_data(request);
            if (!self->request_listeners_.contains(id)) co_return;
          }
          RequestHandler handler = self->request_listeners_.at(id);
          try {
            co_await handler(request);
          } catch (...) {
            // A failing handler ends only itself, like an unhandled task on the loop.
          }
        },
        asio::detached);
  }
}

void NetworkManager::emit_response(const std::shared_ptr<Response>& response) {
  for (const auto& entry : response_listeners_) {
    const ListenerId id = entry.first;
    asio::co_spawn(
        executor_,
        [self = shared_from_this(), id, response]() -> asio::awaitable<void> {
          auto found = self->response_listeners_.find(id);
          if (found == self->response_listeners_.end()) co_return;
          ResponseHandler handler = found->second;
          try {
            co_await handler(response);
          } catch (...) {
          }
        },
        asio::detached);
  }
}

asio::awaitable<void> NetworkManager::complete_post_data(std::shared_ptr<Request> request) {
  try {
    Json params = {{"requestId", request->id_}};
    Json reply = co_await session_->call("Network.getRequestPostData", std::move(params));
    std::string data = reply.value("postData", "");
    if (reply.value("base64Encoded", false)) data = base64_decode(data);
    request->post_data_ = std::move(data);
  } catch (const std::exception&) {
    // The browser no longer holds it; the request shows no body.
  }
  request->post_data_missing_ = false;
}

asio::awaitable<std::string> NetworkManager::response_body(const Response& response) {
  if (response.redirect_) {
    throw ResponseBodyError("重定向响应（状态 " + std::to_string(response.status_) +
                            "）没有正文：" + response.url_);
  }
  const std::string id = response.request_id_;
  auto self = shared_from_this();
  co_await loading_changed_.wait_until(
      [&] {
        auto it = loading_.find(id);
        return closed_ || it == loading_.end() || it->second.finished || it->second.failure;
      },
      NO_DEADLINE);
  auto it = loading_.find(id);
  if (it == loading_.end() || (!it->second.finished && !it->second.failure)) {
    if (closed_) throw TargetClosedError(CLOSED_MESSAGE);
    throw ResponseBodyError("响应正文已不可用：" + response.url_);
  }
  if (it->second.failure) {
    throw ResponseBodyError("响应正文加载失败（" + *it->second.failure + "）：" + response.url_);
  }
  Json reply;
  try {
    Json params = {{"requestId", id}};
    reply = co_await session_->call("Network.getResponseBody", std::move(params));
  } catch (const ProtocolError&) {
    std::throw_with_nested(
        ResponseBodyError("响应正文已不可用（页面可能已跳转或浏览器已丢弃）：" + response.url_));
  }
  std::string body = reply.value("body", "");
  if (reply.value("base64Encoded", false)) body = base64_decode(body);
  co_return body;
}

asio::awaitable<std::string> Response::body() {
  auto manager = manager_.lock();
  if (!manager) throw TargetClosedError(CLOSED_MESSAGE);
  co_return co_await manager->response_body(*this);
}

asio::awaitable<Json> Response::json() {
  std::string text = co_await body();
  Json value = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (value.is_discarded()) {
    std::size_t cut = std::min<std::size_t>(text.size(), 80);
    // Never cut a UTF-8 character in half.
    while (cut < text.size() && cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) {
      --cut;
    }
    std::string start = text.substr(0, cut);
    throw ResponseBodyError("响应正文不是 JSON：" + url_ + "（开头：" + start + "）");
  }
  co_return value;
}

}  // namespace vendro::browser
