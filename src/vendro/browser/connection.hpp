#pragma once
// One DevTools connection: numbered commands, replies matched by id, events routed by session id
// to the handler registered for that session. A single reader coroutine owns the incoming side.
// When the pipe closes, every pending call fails at once with TargetClosedError, and so does every
// call made afterwards. Everything runs on the connection's io_context; nothing is thread-safe.

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "vendro/browser/notifier.hpp"
#include "vendro/browser/transport.hpp"
#include "vendro/core/json.hpp"

namespace vendro::browser {

// A command on its way: its reply (or failure) arrives later. Made by Connection::send.
struct PendingCall {
  explicit PendingCall(asio::any_io_executor executor) : wake(executor) {}
  std::string method;
  std::string session;
  std::optional<Json> result;
  std::exception_ptr error;
  bool done = false;
  asio::steady_timer wake;  // cancelled when done
};

class Connection : public std::enable_shared_from_this<Connection> {
 public:
  // Called for each event of one session (the browser's own session is ""), on the reader's turn.
  // Handlers must not throw and must not wait; they update state and wake waiters.
  using EventHandler = std::function<void(std::string_view method, const Json& params)>;

  Connection(asio::any_io_executor executor, std::shared_ptr<Transport> transport);

  // Starts the reader coroutine. `on_disconnect` runs once when the pipe closes.
  void start(std::function<void()> on_disconnect);

  // Writes a command now (to the browser itself when `session` is empty); the reply is collected
  // with result(). Never throws: a closed connection yields a call that has already failed.
  // Target sessions send through their Session instead.
  std::shared_ptr<PendingCall> send(std::string method, Json params = Json::object(),
                                    const std::string& session = {});
  // A call that has already failed with TargetClosedError, for a session that is gone.
  std::shared_ptr<PendingCall> failed_call(std::string method);
  // The command's result. Throws ProtocolError when the browser refused it, TargetClosedError
  // when the connection or the session closed first, TimeoutError (naming the method) when
  // `deadline` passed.
  asio::awaitable<Json> result(std::shared_ptr<PendingCall> call, Deadline deadline);
  asio::awaitable<Json> result(std::shared_ptr<PendingCall> call) {
    return result(std::move(call), NO_DEADLINE);
  }
  // A browser-wide command: send() then result().
  asio::awaitable<Json> call(std::string method, Json params, Deadline deadline);

  // Routes the events of `session` ("" for the browser's own) to `handler`.
  void set_event_handler(const std::string& session, EventHandler handler);
  void remove_event_handler(const std::string& session);
  // Fails the pending calls of one session (it detached or crashed).
  void fail_session(const std::string& session);

  bool closed() const { return closed_; }
  // Closes the pipe; pending calls fail with TargetClosedError.
  void close();

 private:
  asio::awaitable<void> read_loop();
  void dispatch(std::string_view text);
  void finish(const std::shared_ptr<PendingCall>& call);
  void fail_all();

  asio::any_io_executor executor_;
  std::shared_ptr<Transport> transport_;
  std::uint64_t next_id_ = 1;
  std::unordered_map<std::uint64_t, std::shared_ptr<PendingCall>> pending_;
  std::unordered_map<std::string, EventHandler> handlers_;
  std::function<void()> on_disconnect_;
  bool closed_ = false;
};

}  // namespace vendro::browser
