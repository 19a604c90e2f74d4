#pragma once
// The headers of the tool request being served. When the toolkit runs as a tool server, the
// server installs the caller's request headers for the duration of one tool call, and modules
// that talk to the OPS backend forward them. On the command line there is no such request and
// the headers are empty.
//
// Threading: the headers belong to the calling thread; a tool server that serves calls on
// several threads installs them on each.

#include "vendro/core/http_client.hpp"

namespace vendro::shared {

// The header map of the tool request served on this thread; empty outside such a request.
http::NameValues get_mcp_request_headers();

// Installs `headers` as this thread's tool-request headers for its lifetime, then restores the
// previous ones (scopes nest).
class ScopedMcpRequestHeaders {
 public:
  explicit ScopedMcpRequestHeaders(http::NameValues headers);
  ~ScopedMcpRequestHeaders();
  ScopedMcpRequestHeaders(const ScopedMcpRequestHeaders&) = delete;
  ScopedMcpRequestHeaders& operator=(const ScopedMcpRequestHeaders&) = delete;

 private:
  http::NameValues previous_;
};

}  // namespace vendro::shared
