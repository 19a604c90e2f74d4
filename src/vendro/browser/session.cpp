#include "vendro/browser/session.hpp"

#include "vendro/browser/errors.hpp"

namespace vendro::browser {

Session::Session(std::shared_ptr<Connection> connection, std::string id)
    : connection_(std::move(connection)), id_(std::move(id)) {}

Session::~Session() {
  detach();
}

std::shared_ptr<PendingCall> Session::send(std::string method, Json params) {
  if (detached_) return connection_->failed_call(std::move(method));
  return connection_->send(std::move(method), std::move(params), id_);
}

asio::awaitable<Json> Session::result(std::shared_ptr<PendingCall> call, Deadline deadline) {
  return connection_->result(std::move(call), deadline);
}

asio::awaitable<Json> Session::call(std::string method, Json params, Deadline deadline) {
  return connection_->result(send(std::move(method), std::move(params)), deadline);
}

void Session::on_event(Connection::EventHandler handler) {
  if (detached_) return;
  connection_->set_event_handler(id_, std::move(handler));
}

void Session::detach() {
  if (detached_) return;
  detached_ = true;
  connection_->remove_event_handler(id_);
  connection_->fail_session(id_);
}

}  // namespace vendro::browser
