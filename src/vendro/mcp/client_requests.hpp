#pragma once
// Requests the server sends to the client (elicitation) and the waits for their answers. The
// session hands every response it receives to deliver(); the asking call blocks in ask().
// Thread-safe.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "vendro/mcp/exchange.hpp"

namespace vendro::mcp {

class ClientRequests {
 public:
  // Sends request `method` with `params` on `exchange` (so it travels with the call that asks)
  // and blocks until the client answers. Returns the answer's result. Throws vendro::Error with
  // a Chinese message when the client answers with an error, when `timeout` passes, when `stop`
  // is requested or when close() was called; in the last three cases the client is told with
  // notifications/cancelled that the request is void.
  Json ask(Exchange& exchange, const std::string& method, Json params,
           std::chrono::milliseconds timeout, std::stop_token stop);
  // Hands a response from the client to the request waiting for it. False when none waits for
  // its id (already answered, given up, or never sent).
  bool deliver(const Json& response);
  // Ends every wait, now and later (the session is closing).
  void close();

 private:
  struct Waiting {
    std::optional<Json> response;
  };

  std::mutex mutex_;
  std::condition_variable_any answered_;
  std::map<std::int64_t, std::shared_ptr<Waiting>> waiting_;
  std::int64_t next_id_ = 1;
  bool closed_ = false;
};

}  // namespace vendro::mcp
