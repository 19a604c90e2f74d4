#include "vendro/browser/connection.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "vendro/browser/errors.hpp"

namespace vendro::browser {

Connection::Connection(asio::any_io_executor executor, std::shared_ptr<Transport> transport)
    : executor_(std::move(executor)), transport_(std::move(transport)) {}

void Connection::start(std::function<void()> on_disconnect) {
  on_disconnect_ = std::move(on_disconnect);
  asio::co_spawn(
      executor_, [self = shared_from_this()] { return self->read_loop(); }, asio::detached);
}

asio::awaitable<void> Connection::read_loop() {
  for (;;) {
    auto message = co_await transport_->receive();
    if (!message) break;
    try {
      dispatch(*message);
    } catch (const std::exception&) {
      // A malformed message must not stop the reader: every waiter depends on it.
    }
  }
  closed_ = true;
  transport_->close();
  fail_all();
  if (auto callback = std::exchange(on_disconnect_, nullptr)) callback();
}

void Connection::dispatch(std::string_view text) {
  Json message = Json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!message.is_object()) return;
  if (auto id = message.find("id"); id != message.end() && id->is_number_unsigned()) {
    auto found = pending_.find(id->get<std::uint64_t>());
    if (found == pending_.end()) return;
    auto call = std::move(found->second);
    pending_.erase(found);
    if (auto error = message.find("error"); error != message.end()) {
      std::string detail = error->value("message", std::string("未知错误"));
      if (error->contains("data") && (*error)["data"].is_string()) {
        detail += "：" + (*error)["data"].get<std::string>();
      }
      call->error = std::make_exception_ptr(
          ProtocolError("浏览器拒绝了命令 " + call->method + "：" + detail));
    } else {
      auto result = message.find("result");
      call->result = result != message.end() ? std::move(*result) : Json::object();
    }
    finish(call);
    return;
  }
  auto method = message.find("method");
  if (method == message.end() || !method->is_string()) return;
  std::string session;
  if (auto s = message.find("sessionId"); s != message.end() && s->is_string()) session = *s;
  auto handler = handlers_.find(session);
  if (handler == handlers_.end()) return;
  static const Json EMPTY = Json::object();
  auto params = message.find("params");
  // Copy the handler: it may remove itself while running.
  EventHandler run = handler->second;
  run(method->get_ref<const std::string&>(), params != message.end() ? *params : EMPTY);
}

std::shared_ptr<PendingCall> Connection::send(std::string method, Json params,
                                              const std::string& session) {
  auto call = std::make_shared<PendingCall>(executor_);
  call->method = method;
  call->session = session;
  if (closed_) return failed_call(std::move(call->method));
  const std::uint64_t id = next_id_++;
  Json message = Json::object();
  message["id"] = id;
  message["method"] = std::move(method);
  message["params"] = std::move(params);
  if (!session.empty()) message["sessionId"] = session;
  pending_.emplace(id, call);
  transport_->send(message.dump(-1, ' ', false, Json::error_handler_t::replace));
  return call;
}

std::shared_ptr<PendingCall> Connection::failed_call(std::string method) {
  auto call = std::make_shared<PendingCall>(executor_);
  call->method = std::move(method);
  call->error = std::make_exception_ptr(TargetClosedError(CLOSED_MESSAGE));
  call->done = true;
  return call;
}

asio::awaitable<Json> Connection::result(std::shared_ptr<PendingCall> call, Deadline deadline) {
  while (!call->done) {
    if (Clock::now() >= deadline) {
      throw TimeoutError("等待浏览器回应 " + call->method + " 超时");
    }
    call->wake.expires_at(deadline);
    std::error_code ec;
    co_await call->wake.async_wait(asio::redirect_error(asio::use_awaitable, ec));
  }
  if (call->error) std::rethrow_exception(call->error);
  co_return std::move(*call->result);
}

asio::awaitable<Json> Connection::call(std::string method, Json params, Deadline deadline) {
  auto pending = send(std::move(method), std::move(params));
  co_return co_await result(std::move(pending), deadline);
}

void Connection::finish(const std::shared_ptr<PendingCall>& call) {
  call->done = true;
  call->wake.cancel();
}

void Connection::set_event_handler(const std::string& session, EventHandler handler) {
  handlers_[session] = std::move(handler);
}

void Connection::remove_event_handler(const std::string& session) {
  handlers_.erase(session);
}

void Connection::fail_session(const std::string& session) {
  for (auto it = pending_.begin(); it != pending_.end();) {
    if (it->second->session == session) {
      auto call = std::move(it->second);
      it = pending_.erase(it);
      call->error = std::make_exception_ptr(TargetClosedError(CLOSED_MESSAGE));
      finish(call);
    } else {
      ++it;
    }
  }
}

void Connection::fail_all() {
  auto pending = std::move(pending_);
  pending_.clear();
  for (auto& [id, call] : pending) {
    call->error = std::make_exception_ptr(TargetClosedError(CLOSED_MESSAGE));
    finish(call);
  }
}

void Connection::close() {
  if (closed_) return;
  closed_ = true;
  transport_->close();
  fail_all();
}

}  // namespace vendro::browser
