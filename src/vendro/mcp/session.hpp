#pragma once
// One client's conversation with the tool server, whatever carries it: initialize, ping,
// tools/list with pagination, tools/call on threads of their own, progress, cancellation,
// elicitation answers, JSON-RPC errors and (where the revision allows) batches.
//
// Threading: handle() may be called from several threads at once (the HTTP transport does);
// every tools/call runs on a new thread and answers on its exchange's channel from there.

#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "vendro/mcp/channel.hpp"
#include "vendro/mcp/tool_provider.hpp"

namespace vendro::mcp {

// The bound on tool calls running at once, shared by every session of one server. A call beyond
// it is refused at once with -32603 (a call may run for minutes; a queue would only hide that).
class CallSlots {
 public:
  explicit CallSlots(std::size_t limit) : limit_(limit) {}
  std::size_t limit() const { return limit_; }
  // Takes a slot; false when all are taken.
  bool try_take();
  void give_back();

 private:
  std::mutex mutex_;
  const std::size_t limit_;
  std::size_t taken_ = 0;
};

struct SessionOptions {
  // Tools per tools/list page.
  std::size_t page_size = 16;
  // Shared with the other sessions of the server; null gives the session 8 of its own.
  std::shared_ptr<CallSlots> slots;
};

class Session {
 public:
  // `provider` must outlive the session and every call it started (see shutdown).
  Session(ToolProvider& provider, SessionOptions options = {});
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Handles one parsed message or batch. Its answers, and what its calls send, go to `channel`,
  // which is closed once everything is answered. `headers` are the X- headers of the HTTP
  // request that carried it (empty over stdio). Never throws.
  void handle(const Json& message, std::shared_ptr<Channel> channel, Headers headers = {});
  // Parses `text` (at most MAX_MESSAGE_BYTES, JSON nested at most MAX_JSON_DEPTH) and handles
  // it; text that is no JSON gets a -32700 error with id null, and the session goes on.
  void handle_text(std::string_view text, std::shared_ptr<Channel> channel);

  // Cancels every call in flight, refuses new ones, ends waits for client answers, and waits up
  // to `grace` for the calls' threads to end. True when they all did. Calls still running after
  // that keep running on their threads; they hold the session's state but not the provider
  // beyond its own lifetime guarantee, so callers exit soon afterwards.
  bool shutdown(std::chrono::milliseconds grace);

  // The revision agreed at initialize; empty before.
  std::string revision() const;
  bool initialized() const;
  std::size_t calls_in_flight() const;

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace vendro::mcp
