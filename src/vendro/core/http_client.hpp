#pragma once
// The one HTTP client of vendro, over libcurl. Synchronous: `send` blocks the calling thread until
// the answer is complete, the timeout passes or the transfer fails. Safe to call from several
// threads at once (each call has its own handle). Proxies come from the environment the way
// libcurl reads them (http_proxy, HTTPS_PROXY, ALL_PROXY, NO_PROXY).
//
// Every answer is bounded: in size (Request::max_response_bytes) and in time. Redirects are
// followed here rather than by libcurl, so that nothing meant for one origin (scheme, host and
// port) reaches another: on a redirect to another origin the cookies and the caller's headers
// (credentials among them) are dropped, and a request whose body would have to be sent again
// (307, 308) is not followed at all.

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
  std::chrono::milliseconds timeout{
      std::chrono::seconds(30)};  // whole transfer, redirects included
  bool follow_redirects = true;
  // When set, `timeout` bounds only the connection set-up, and the transfer may take as long as
  // it keeps moving: it fails after this long without progress in either direction (for large
  // uploads to slow servers).
  std::optional<std::chrono::seconds> stall_timeout;
  // A larger answer body fails with ResponseTooLargeError. Each use sets what fits what it reads.
  std::size_t max_response_bytes = 1 << 20;
  // When set, the body is written to this file (created or truncated) instead of Response::body.
  // On failure the file holds whatever arrived; removing it is the caller's business.
  std::optional<std::filesystem::path> response_file;

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
// The answer body was larger than Request::max_response_bytes; reading stopped there.
VENDRO_DEFINE_ERROR(ResponseTooLargeError, TransportError, "HTTP_RESPONSE_TOO_LARGE");

// Sends `request` and returns the answer whatever its status. Throws TransportError (or
// TimeoutError, ResponseTooLargeError) when no complete answer arrived, also for a redirect that
// may not be followed, and FileError when Request::response_file cannot be written.
Response send(const Request& request);

// `url` for messages: without the user information (a password may be in it: "http://***@host")
// and without its query and fragment (which may hold tokens). Every message that shows a URL
// shows it through this.
std::string redact_url(std::string_view url);

}  // namespace vendro::http
