#pragma once
// The way back to the client for one incoming message (or batch): its answers, and what the
// tool calls it started send before they answer (progress, requests to the client).

#include "vendro/core/json.hpp"

namespace vendro::mcp {

class Channel {
 public:
  virtual ~Channel() = default;
  // One outgoing message: a response (or a batch of them), a notification or a request to the
  // client. Called from any thread, one call at a time for one channel.
  virtual void send(const Json& message) = 0;
  // Every request of the incoming message has been answered or will get no answer (cancelled):
  // nothing more follows. Called exactly once, after the last send.
  virtual void close() {}
};

}  // namespace vendro::mcp
