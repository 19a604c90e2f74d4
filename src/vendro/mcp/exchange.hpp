#pragma once
// One incoming message or batch and everything sent back for it. It counts the requests still
// awaiting their answer, gathers a batch's answers into one array, and closes the channel once
// the last answer is out. Thread-safe: calls answer from their own threads.

#include <memory>
#include <mutex>
#include <optional>

#include "vendro/mcp/channel.hpp"

namespace vendro::mcp {

class Exchange {
 public:
  Exchange(std::shared_ptr<Channel> channel, bool batch);

  // One more request of the message awaits its answer.
  void expect();
  // Sends something that is not an answer (a notification, a request to the client) at once.
  void send(const Json& message);
  // The answer to one expected request; nullopt when it gets none (it was cancelled).
  void answer(std::optional<Json> response);
  // Every request of the message has been counted: the channel closes once none is waiting.
  void seal();

 private:
  void close_if_done();  // with mutex_ held

  std::mutex mutex_;
  std::shared_ptr<Channel> channel_;
  const bool batch_;
  int outstanding_ = 0;
  bool sealed_ = false;
  bool closed_ = false;
  Json batch_answers_ = Json::array();
};

}  // namespace vendro::mcp
