#include "support/local_server.hpp"

#include <chrono>
#include <stdexcept>

namespace vendro::testing {

LocalServer::LocalServer() = default;

LocalServer::~LocalServer() {
  server_.stop();
  if (thread_.joinable()) thread_.join();
}

void LocalServer::start() {
  port_ = server_.bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("cannot bind a local test server");
  thread_ = std::thread([this] { server_.listen_after_bind(); });
  // The socket already listens after the bind, so connections queue until the thread accepts.
  // But stop() does nothing until the thread has entered its loop, so a server destroyed right
  // after start() would never stop: wait for the loop to run.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_.is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("the local test server did not start");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

std::string LocalServer::base_url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

}  // namespace vendro::testing
