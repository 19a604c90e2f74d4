#include "support/local_server.hpp"

#include <chrono>
#include <stdexcept>

namespace vendro::testing {

LocalServer::LocalServer() : server_(std::make_unique<httplib::Server>()) {}

LocalServer::LocalServer(std::unique_ptr<httplib::Server> server, std::string scheme)
    : server_(std::move(server)), scheme_(std::move(scheme)) {}

LocalServer::~LocalServer() {
  server_->stop();
  if (thread_.joinable()) thread_.join();
}

void LocalServer::start(int port) {
  if (port == 0) {
    port_ = server_->bind_to_any_port("127.0.0.1");
  } else if (server_->bind_to_port("127.0.0.1", port)) {
    port_ = port;
  }
  if (port_ <= 0) throw std::runtime_error("cannot bind a local test server");
  thread_ = std::thread([this] {
    server_->listen_after_bind();
    listen_returned_ = true;
  });
  // The socket already listens after the bind, so connections queue until the thread accepts.
  // Still wait until the accept loop runs: stop() does nothing before that, so a server destroyed
  // without having served a request would otherwise leave the destructor joining forever.
  while (!server_->is_running() && !listen_returned_) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string LocalServer::base_url() const {
  return scheme_ + "://127.0.0.1:" + std::to_string(port_);
}

}  // namespace vendro::testing
