#pragma once
// JSON-RPC 2.0 messages as the tool server speaks them, and the protocol revisions it knows.

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "vendro/core/error.hpp"
#include "vendro/core/json.hpp"

namespace vendro::mcp {

// A failure of the tool server itself: an address it may not or cannot serve on, a broken
// stream. Messages are Chinese.
VENDRO_DEFINE_ERROR(McpServerError, Error, "MCP_SERVER_ERROR");

// The protocol revisions the server answers in, newest first. The first is the one offered to a
// client that asks for any other.
inline constexpr std::array<std::string_view, 4> REVISIONS = {"2025-11-25", "2025-06-18",
                                                              "2025-03-26", "2024-11-05"};
inline constexpr std::string_view LATEST_REVISION = REVISIONS[0];

bool is_known_revision(std::string_view revision);
// Revisions are dates, so they order as text. An empty revision (none negotiated yet) is older
// than every other.
inline bool revision_at_least(std::string_view revision, std::string_view since) {
  return revision >= since;
}
// Only 2025-03-26 lets a message be a JSON array of messages.
inline bool batches_allowed(std::string_view revision) {
  return revision == "2025-03-26";
}

// The largest message accepted from a client, on either transport.
inline constexpr std::size_t MAX_MESSAGE_BYTES = 16 * 1024 * 1024;

namespace rpc {

inline constexpr int PARSE_ERROR = -32700;
inline constexpr int INVALID_REQUEST = -32600;
inline constexpr int METHOD_NOT_FOUND = -32601;
inline constexpr int INVALID_PARAMS = -32602;
inline constexpr int INTERNAL_ERROR = -32603;
// Refusals of the HTTP transport (session, origin, key) that are no JSON-RPC fault.
inline constexpr int TRANSPORT_ERROR = -32000;

Json error_response(const Json& id, int code, const std::string& message);
Json result_response(const Json& id, Json result);
Json notification(const std::string& method, Json params);
Json request(const Json& id, const std::string& method, Json params);

// A request id as JSON-RPC allows it here: a string or an integer.
bool is_valid_id(const Json& id);
// True for a response (result or error) or a batch holding only responses: what a client may
// read as the whole answer to what it sent.
bool is_response(const Json& message);
// True when `message` (or a member of the batch) is a request, as opposed to notifications and
// responses only.
bool has_request(const Json& message);
// True when `message` is a single initialize request.
bool is_initialize(const Json& message);
// True when a request in `message` asks for progress (params._meta.progressToken).
bool wants_progress(const Json& message);

}  // namespace rpc
}  // namespace vendro::mcp
