#pragma once
// The checks every HTTP request to the tool server passes before anything else: the Host it
// names (against DNS rebinding), the Origin of a browser page, and the bearer key.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vendro::mcp {

// "localhost", an address in 127.0.0.0/8 or "::1" (without brackets), in any case.
bool is_loopback_host(std::string_view host);

// The host part of a Host header value or URL authority ("example.com:8080" -> "example.com",
// "[::1]:80" -> "::1"), lower-cased; nullopt when it is malformed (empty, bad port, unclosed
// bracket).
std::optional<std::string> authority_host(std::string_view authority);

// A Host header is acceptable when it names a loopback host, the address the server is bound
// to, or one of `allowed_hosts` (host names or addresses, no port), with any port.
bool host_allowed(std::string_view host_header, std::string_view bound_host,
                  const std::vector<std::string>& allowed_hosts);

// An Origin header is acceptable when it is http(s) on a loopback host (any port) or equals one
// of `allowed_origins` ("https://ops.example.com", compared without case and trailing slash).
bool origin_allowed(std::string_view origin, const std::vector<std::string>& allowed_origins);

// True when `authorization` is "Bearer KEY" with exactly `key`. The comparison takes the same
// time wherever the first difference is.
bool bearer_matches(std::string_view authorization, std::string_view key);

}  // namespace vendro::mcp
