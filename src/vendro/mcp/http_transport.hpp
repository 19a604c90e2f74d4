#pragma once
// The tool server over HTTP on one endpoint, /mcp: POST carries JSON-RPC messages from the
// client (answered as application/json, or as a text/event-stream when progress or a question
// to the client travels with the answer), DELETE ends a session. A session id (Mcp-Session-Id)
// is issued at initialize and required afterwards.
//
// Every request first passes the guards: a Host that names a loopback address, the bound
// address or one of allowed_hosts (else 403); an Origin, when there is one, on a loopback host
// or among allowed_origins (else 403); with an api_key, "Authorization: Bearer KEY" (else 401).

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vendro/mcp/tool_provider.hpp"

namespace vendro::mcp {

struct HttpOptions {
  // The address to listen on. Anything but a loopback address needs an api_key.
  std::string host = "127.0.0.1";
  // 0: a free port.
  int port = 0;
  // When set (not empty), every request needs "Authorization: Bearer KEY".
  std::optional<std::string> api_key;
  // Browser origins allowed besides loopback ones, e.g. "https://ops.example.com".
  std::vector<std::string> allowed_origins;
  // Host names clients may use besides loopback ones and `host` itself, e.g. the machine's
  // name when listening on 0.0.0.0.
  std::vector<std::string> allowed_hosts;
  // Tools per tools/list page.
  std::size_t page_size = 16;
  // Tool calls running at once over all sessions; more are refused with -32603.
  std::size_t max_calls = 8;
  // Sessions kept at once; the one idle longest (no call in flight) makes room for a new one.
  std::size_t max_sessions = 64;
  // A session without any request for this long is forgotten.
  std::chrono::seconds session_idle_timeout = std::chrono::hours(2);
  // How long an answer may take to be sent as plain JSON; a call still running then answers in
  // an event stream, so that the response headers go out.
  std::chrono::milliseconds json_answer_wait = std::chrono::seconds(10);
  // How long calls in flight may take to finish after being cancelled at stop().
  std::chrono::milliseconds shutdown_grace = std::chrono::seconds(10);
};

class HttpServer {
 public:
  // Checks the options and binds the address. Throws McpServerError (Chinese message) for a
  // non-loopback host without api_key, or an address that cannot be bound. `provider` must
  // outlive the server.
  HttpServer(ToolProvider& provider, HttpOptions options);
  // Stops as stop() does.
  ~HttpServer();
  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  int port() const;
  // "http://HOST:PORT/mcp" (IPv6 hosts in brackets).
  std::string url() const;
  // Serves until stop(); blocks the calling thread.
  void run();
  // Refuses new requests, cancels the calls in flight and waits for them (at most
  // shutdown_grace), ends the open streams and makes run() return. Any thread; idempotent.
  void stop();

  class Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Serves `provider` on options.host:options.port, printing the listening URL on standard error,
// until SIGINT or SIGTERM (blocked in the calling thread, and so in the server's threads, for
// the duration); then stops as HttpServer::stop() does and returns 0. Throws McpServerError
// when it cannot start. Must be called before other threads exist that could take the signals.
int serve_http(ToolProvider& provider, HttpOptions options);

}  // namespace vendro::mcp
