#include "vendro/mcp/tool_call.hpp"

#include <algorithm>
#include <cmath>

#include "vendro/mcp/protocol.hpp"

namespace vendro::mcp {

namespace {

// Far beyond any question a person answers, and safe to add to a clock.
constexpr std::chrono::seconds MAX_ELICIT_WAIT = std::chrono::hours(24);

}  // namespace

ToolCall::ToolCall(ToolCallSetup setup) : setup_(std::move(setup)) {}

void ToolCall::progress(double progress, std::optional<double> total, const std::string& message) {
  if (!setup_.progress_token || !std::isfinite(progress)) return;
  const bool has_total = total.has_value() && std::isfinite(total.value_or(0));
  const double total_value = total.value_or(0);
  std::lock_guard lock(mutex_);
  if (done_ || (last_progress_ && progress <= *last_progress_)) return;
  last_progress_ = progress;
  Json params = {{"progressToken", *setup_.progress_token}, {"progress", progress}};
  if (has_total) params["total"] = total_value;
  // The message member came with 2025-03-26.
  if (!message.empty() && revision_at_least(setup_.revision, "2025-03-26")) {
    params["message"] = message;
  }
  setup_.exchange->send(rpc::notification("notifications/progress", std::move(params)));
}

bool ToolCall::cancelled() const {
  return stop_.stop_requested();
}

std::shared_ptr<void> ToolCall::on_cancel(std::function<void()> callback) {
  return std::make_shared<std::stop_callback<std::function<void()>>>(stop_.get_token(),
                                                                     std::move(callback));
}

bool ToolCall::can_elicit() const {
  return setup_.client_elicits;
}

Json ToolCall::elicit(const std::string& message, const Json& requested_schema,
                      std::chrono::seconds timeout) {
  if (!setup_.client_elicits) throw Error("客户端不支持询问用户（未声明 elicitation 能力）");
  if (cancelled()) throw Error("调用已取消，不再询问用户");
  Json params = {{"message", message}, {"requestedSchema", requested_schema}};
  if (revision_at_least(setup_.revision, "2025-11-25")) params["mode"] = "form";
  timeout = std::clamp(timeout, std::chrono::seconds(0), MAX_ELICIT_WAIT);
  Json result = setup_.client->ask(*setup_.exchange, "elicitation/create", std::move(params),
                                   timeout, stop_.get_token());
  if (!result.is_object() || !result.contains("action") || !result["action"].is_string()) {
    throw Error("客户端对询问的回答无效：缺少 action");
  }
  const std::string action = result["action"];
  if (action != "accept" && action != "decline" && action != "cancel") {
    throw Error("客户端对询问的回答无效：未知的 action " + action);
  }
  if (result.contains("content") && !result["content"].is_object()) {
    throw Error("客户端对询问的回答无效：content 不是对象");
  }
  return result;
}

const Headers& ToolCall::request_headers() const {
  return setup_.headers;
}

void ToolCall::finish(Json response) {
  {
    std::lock_guard lock(mutex_);
    if (done_) return;
    done_ = true;
  }
  setup_.exchange->answer(std::move(response));
}

void ToolCall::abandon() {
  {
    std::lock_guard lock(mutex_);
    if (done_) return;
    done_ = true;
  }
  stop_.request_stop();
  setup_.exchange->answer(std::nullopt);
}

void ToolCall::stop() {
  stop_.request_stop();
}

}  // namespace vendro::mcp
