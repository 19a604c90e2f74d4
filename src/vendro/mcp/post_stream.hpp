#pragma once
// The answer to one HTTP POST of JSON-RPC messages. When everything the server says about them
// is answers, and they are all ready, they go back as one application/json body; as soon as
// anything else comes first (progress, a request to the client) the answer becomes a
// text/event-stream that carries each message as an event and ends after the last answer.
// Thread-safe: calls send from their threads, the HTTP worker reads.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

#include "vendro/mcp/channel.hpp"

namespace vendro::mcp {

// One server-sent event of type "message" carrying `data` (a single line of JSON).
std::string sse_event(std::string_view data);

class PostStream : public Channel {
 public:
  enum class Shape { Answered, Streaming };

  void send(const Json& message) override;
  void close() override;

  // Blocks until the answer's shape is known: Answered once the channel closed with answers
  // only (see body); Streaming when something else was sent first, when `stream_at_once`, when
  // abort() was called, or when `json_wait` passed first (a long call then answers in a stream
  // whose headers go out at once, since HTTP clients give up on headers that never come).
  Shape settle(bool stream_at_once, std::chrono::milliseconds json_wait);
  // For Answered: the one answer (a response or a batch of them), or "" when there is none.
  std::string body();
  // For Streaming: waits up to `wait` for messages and appends their events to `out`. Returns
  // false once the channel is closed or aborted and everything was taken.
  bool take(std::string& out, std::chrono::milliseconds wait);
  // The connection is gone or the server stops: waits end, later messages are dropped.
  void abort();

 private:
  // Beyond this much unread output the client is taken to be gone.
  static constexpr std::size_t MAX_QUEUED_BYTES = 64 * 1024 * 1024;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> queue_;  // compact JSON, one message each
  std::size_t queued_bytes_ = 0;
  bool closed_ = false;
  bool aborted_ = false;
  bool only_answers_ = true;
};

}  // namespace vendro::mcp
