#pragma once
// The one HTTP client of vendro, over libcurl. Synchronous: `send` blocks the calling thread until
// the answer is complete, the timeout passes or the transfer fails. Safe to call from several
// threads at once (each call has its own handle). Proxies come from the environment the way
// libcurl reads them (http_proxy, HTTPS_PROXY, ALL_PROXY, NO_PROXY).

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vendro/core/error.hpp"
#include "vendro/core/json.hpp"

namespace vendro::http {

// Header or cookie list; order is kept and names may repeat.
using NameValues = std::vector<std::pair<std::string, std::string>>;

// One part of a multipart/form-data body: a plain field (`value`), or a file streamed from disk
// while the request is sent (`file`), never read whole into memory.
struct Part {
  std::string name;
  std::string value;
  std::optional<std::filesystem::path> file;
  std::string filename;      // sent file name; defaults to the file's last path component
  std::string content_type;  // e.g. "text/csv"; empty lets the server guess
};

struct Request {
  std::string method = "GET";
  std::string url;
  NameValues headers;
  NameValues cookies;               // sent as one Cookie header
  std::optional<std::string> body;  // raw body, sent as it is
  std::vector<Part> parts;          // when not empty, the body is multipart/form-data
  std::chrono::milliseconds timeout{std::chrono::seconds(30)};  // whole transfer
  bool follow_redirects = true;

  // Makes this a request with a JSON body (UTF-8 unescaped) and its Content-Type header.
  Request& json_body(const Json& payload);
};

struct Response {
  long status = 0;
  NameValues headers;  // of the final response when redirects were followed
  std::string body;
  std::string url;  // the final URL

  // The value of the first header named `name` (case-insensitive).
  std::optional<std::string> header(std::string_view name) const;
  bool ok() const { return status >= 200 && status < 300; }
};

// The request never got a complete answer: connection refused or reset, DNS failure, timeout,
// TLS failure, unreadable upload file. The message says which, and names the address (without its
// query, which may hold credentials).
VENDRO_DEFINE_ERROR(TransportError, RemoteError, "HTTP_TRANSPORT_ERROR");
// The subset of transport failures where the timeout ran out.
VENDRO_DEFINE_ERROR(TimeoutError, TransportError, "HTTP_TIMEOUT");

// Sends `request` and returns the answer whatever its status. Throws TransportError (or
// TimeoutError) when no complete answer arrived.
Response send(const Request& request);

// `url` without its query and fragment, for messages.
std::string redact_url(std::string_view url);

}  // namespace vendro::http
