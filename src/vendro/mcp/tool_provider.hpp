#pragma once
// What the tool server serves: a fixed list of tools and a way to run one. The server core
// (Session, serve_stdio, serve_http) is written against this interface only; the command table
// supplies the real provider, tests supply their own.

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vendro/core/json.hpp"

namespace vendro::mcp {

// One header of the HTTP request that carried a call, as the client spelled it.
using Headers = std::vector<std::pair<std::string, std::string>>;

// What a running tool call may use. Implemented by the server; thread-safe.
class CallContext {
 public:
  virtual ~CallContext() = default;
  // Sends notifications/progress when the caller gave a progress token; otherwise nothing.
  // `progress` must increase from call to call (the server enforces that by dropping others).
  virtual void progress(double progress, std::optional<double> total,
                        const std::string& message) = 0;
  // True once the client cancelled this call, or the server is shutting down.
  virtual bool cancelled() const = 0;
  // Runs `callback` once when the call is cancelled (at once, on this thread, if it already
  // was); on any thread. The returned object unregisters it when destroyed; destroying it while
  // the callback runs on another thread waits for the callback to return.
  virtual std::shared_ptr<void> on_cancel(std::function<void()> callback) = 0;
  // Whether the client declared the elicitation capability (form mode) at initialize.
  virtual bool can_elicit() const = 0;
  // Asks the client (elicitation/create, form mode) and blocks until it answers: returns the
  // result object {"action": "accept"|"decline"|"cancel", "content": {...}}. Throws
  // vendro::Error (Chinese message) when the call is cancelled, the client errors or
  // `timeout` passes.
  virtual Json elicit(const std::string& message, const Json& requested_schema,
                      std::chrono::seconds timeout) = 0;
  // The headers of the HTTP request carrying the call whose names start with "X-" (any case),
  // minus the transport's own; empty over stdio.
  virtual const Headers& request_headers() const = 0;
};

struct ToolOutcome {
  Json structured = Json::object();  // structuredContent (an object)
  std::string text;                  // the text content block
  bool is_error = false;
};

class ToolProvider {
 public:
  virtual ~ToolProvider() = default;
  // The tools, each as tools/list shows it (name, title, description, inputSchema, and where
  // there is one outputSchema and annotations). Fixed for the provider's life.
  virtual const std::vector<Json>& tools() const = 0;
  // Runs tool `name` (one of tools()) with `arguments` (an object); called on a thread of its
  // own, several calls at once. Failures of the tool are outcomes with is_error, not throws.
  virtual ToolOutcome call(const std::string& name, const Json& arguments,
                           CallContext& context) = 0;
};

}  // namespace vendro::mcp
