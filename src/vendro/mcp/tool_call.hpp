#pragma once
// One tools/call in flight: the CallContext its tool sees, and the way its answer goes out.
// A call that is cancelled (abandoned) sends nothing more, neither progress nor its answer.

#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>

#include "vendro/mcp/client_requests.hpp"
#include "vendro/mcp/exchange.hpp"
#include "vendro/mcp/tool_provider.hpp"

namespace vendro::mcp {

struct ToolCallSetup {
  std::shared_ptr<Exchange> exchange;      // where its progress and answer go
  std::shared_ptr<ClientRequests> client;  // for elicitation
  std::optional<Json> progress_token;      // params._meta.progressToken
  std::string revision;                    // negotiated at initialize
  bool client_elicits = false;             // the client declared form elicitation
  Headers headers;                         // the carrying HTTP request's X- headers
};

class ToolCall final : public CallContext {
 public:
  explicit ToolCall(ToolCallSetup setup);

  void progress(double progress, std::optional<double> total, const std::string& message) override;
  bool cancelled() const override;
  std::shared_ptr<void> on_cancel(std::function<void()> callback) override;
  bool can_elicit() const override;
  Json elicit(const std::string& message, const Json& requested_schema,
              std::chrono::seconds timeout) override;
  const Headers& request_headers() const override;

  // Sends `response` as the call's answer, unless it was abandoned.
  void finish(Json response);
  // The client cancelled: the tool is asked to stop and the call gets no answer.
  void abandon();
  // The server is closing: the tool is asked to stop; its answer still goes out if it can.
  void stop();

 private:
  ToolCallSetup setup_;
  std::stop_source stop_;
  std::mutex mutex_;
  std::optional<double> last_progress_;
  bool done_ = false;  // answered or abandoned: nothing more goes out
};

}  // namespace vendro::mcp
