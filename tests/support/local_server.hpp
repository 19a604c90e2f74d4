#pragma once
// An HTTP server on 127.0.0.1 at a free port, running on its own thread for the life of the
// object. Tests register handlers on `server()` before calling `start()`.

#include <httplib.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>

namespace vendro::testing {

class LocalServer {
 public:
  LocalServer();
  // Serves with `server` instead, e.g. an httplib::SSLServer with `scheme` "https".
  LocalServer(std::unique_ptr<httplib::Server> server, std::string scheme);
  ~LocalServer();
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  httplib::Server& server() { return *server_; }
  // Binds `port` (0: a free one), starts the thread and waits until the server accepts
  // connections. Throws std::runtime_error when the port cannot be bound.
  void start(int port = 0);
  int port() const { return port_; }
  // "http://127.0.0.1:PORT" (the scheme given at construction)
  std::string base_url() const;

 private:
  std::unique_ptr<httplib::Server> server_;
  std::string scheme_ = "http";
  std::thread thread_;
  std::atomic<bool> listen_returned_{false};
  int port_ = 0;
};

}  // namespace vendro::testing
