#pragma once
// A stand-in for an HTTP forward proxy that wants Basic authentication, on 127.0.0.1 at a free
// port. Requests in absolute form ("GET http://shop.test/page HTTP/1.1") without the right
// Proxy-Authorization get 407 with `Proxy-Authenticate: Basic realm="vendro-test"`; authorised
// ones are answered here with the configured HTML body, nothing is forwarded. Connections are
// kept alive, as browsers expect when they answer a challenge. Safe to query from any thread.

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace vendro::testing {

class AuthProxy {
 public:
  // Listens at once; serves on its own threads until destroyed.
  AuthProxy(std::string username, std::string password);
  ~AuthProxy();
  AuthProxy(const AuthProxy&) = delete;
  AuthProxy& operator=(const AuthProxy&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT", for HTTPS_PROXY or --proxy-server.
  std::string url() const;
  // What authorised requests get (text/html; charset=utf-8).
  void set_body(std::string html);

  // 407 answers sent so far.
  int challenges() const { return challenges_; }
  // Requests answered with the body so far.
  int authorised() const { return authorised_; }
  // Every request target received, in order (absolute URLs, or host:port for CONNECT).
  std::vector<std::string> requested_urls() const;

 private:
  void accept_loop();
  void serve(int client);
  std::string answer(const std::string& request_line, const std::string& headers, bool& keep_alive);

  std::string expected_;  // "Basic " + base64(username:password)
  int listen_fd_ = -1;
  int port_ = 0;
  std::atomic<int> challenges_{0};
  std::atomic<int> authorised_{0};
  mutable std::mutex mutex_;
  std::string body_ = "<html><head><title>proxied</title></head><body>proxied</body></html>";
  std::vector<std::string> urls_;
  std::vector<int> clients_;
  std::vector<std::thread> workers_;
  std::atomic<bool> stopping_{false};
  std::thread acceptor_;
};

}  // namespace vendro::testing
