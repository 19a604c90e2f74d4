#include "vendro/mcp/protocol.hpp"

#include <algorithm>

namespace vendro::mcp {

bool is_known_revision(std::string_view revision) {
  return std::find(REVISIONS.begin(), REVISIONS.end(), revision) != REVISIONS.end();
}

namespace rpc {

namespace {

bool is_request(const Json& message) {
  return message.is_object() && message.contains("method") && message.contains("id");
}

bool single_is_response(const Json& message) {
  return message.is_object() && !message.contains("method") && message.contains("id") &&
         (message.contains("result") || message.contains("error"));
}

template <typename Predicate>
bool any_message(const Json& message, Predicate predicate) {
  if (!message.is_array()) return predicate(message);
  return std::any_of(message.begin(), message.end(), predicate);
}

}  // namespace

Json error_response(const Json& id, int code, const std::string& message) {
  return Json{{"jsonrpc", "2.0"}, {"id", id}, {"error", {{"code", code}, {"message", message}}}};
}

Json result_response(const Json& id, Json result) {
  return Json{{"jsonrpc", "2.0"}, {"id", id}, {"result", std::move(result)}};
}

Json notification(const std::string& method, Json params) {
  return Json{{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}};
}

Json request(const Json& id, const std::string& method, Json params) {
  return Json{{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}};
}

bool is_valid_id(const Json& id) {
  return id.is_string() || id.is_number_integer();
}

bool is_response(const Json& message) {
  if (!message.is_array()) return single_is_response(message);
  return !message.empty() && std::all_of(message.begin(), message.end(), single_is_response);
}

bool has_request(const Json& message) {
  return any_message(message, is_request);
}

bool is_initialize(const Json& message) {
  return is_request(message) && message["method"] == "initialize";
}

bool wants_progress(const Json& message) {
  return any_message(message, [](const Json& item) {
    if (!is_request(item)) return false;
    const Json* params = item.contains("params") ? &item["params"] : nullptr;
    return params && params->is_object() && params->contains("_meta") &&
           (*params)["_meta"].is_object() && (*params)["_meta"].contains("progressToken");
  });
}

}  // namespace rpc
}  // namespace vendro::mcp
