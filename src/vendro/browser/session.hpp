#pragma once
// One target session (a tab) on the DevTools connection: the one place that sends the target's
// commands and receives its events. When the target goes (detached, crashed, closed), detach()
// fails every pending call of the session with TargetClosedError, and every later call fails at
// once the same way. Used on the connection's io_context only; not thread-safe.

#include <asio/awaitable.hpp>
#include <memory>
#include <string>

#include "vendro/browser/connection.hpp"
#include "vendro/core/json.hpp"

namespace vendro::browser {

class Session {
 public:
  Session(std::shared_ptr<Connection> connection, std::string id);
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  // Detaches: a session nobody holds can receive nothing.
  ~Session();

  const std::string& id() const { return id_; }
  // The connection, for the few browser-wide commands a target's owner sends.
  const std::shared_ptr<Connection>& connection() const { return connection_; }

  // Writes a command now; collect its reply with result(). Never throws: on a detached session
  // or a closed connection the call has already failed.
  std::shared_ptr<PendingCall> send(std::string method, Json params = Json::object());
  // The command's result; throws as Connection::result does.
  asio::awaitable<Json> result(std::shared_ptr<PendingCall> call, Deadline deadline);
  asio::awaitable<Json> result(std::shared_ptr<PendingCall> call) {
    return result(std::move(call), NO_DEADLINE);
  }
  // send() then result().
  asio::awaitable<Json> call(std::string method, Json params, Deadline deadline);
  asio::awaitable<Json> call(std::string method, Json params) {
    return call(std::move(method), std::move(params), NO_DEADLINE);
  }

  // Receives the session's events (replacing an earlier handler), on the reader's turn; the
  // handler must not throw and must not wait.
  void on_event(Connection::EventHandler handler);
  // The target went: pending calls fail, events stop. Idempotent.
  void detach();
  // Detached, or the whole connection closed.
  bool closed() const { return detached_ || connection_->closed(); }

 private:
  std::shared_ptr<Connection> connection_;
  std::string id_;
  bool detached_ = false;
};

}  // namespace vendro::browser
