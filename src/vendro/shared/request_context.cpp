#include "vendro/shared/request_context.hpp"

#include <utility>

namespace vendro::shared {

namespace {

thread_local http::NameValues current_headers;

}  // namespace

http::NameValues get_mcp_request_headers() {
  return current_headers;
}

ScopedMcpRequestHeaders::ScopedMcpRequestHeaders(http::NameValues headers)
    : previous_(std::exchange(current_headers, std::move(headers))) {}

ScopedMcpRequestHeaders::~ScopedMcpRequestHeaders() {
  current_headers = std::move(previous_);
}

}  // namespace vendro::shared
