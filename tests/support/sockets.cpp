#include "support/sockets.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace vendro::testing {

namespace {

// A TCP socket bound to a free port on 127.0.0.1; returns the socket and sets `port`.
int bind_loopback(int& port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    throw std::runtime_error("cannot bind a loopback socket");
  }
  socklen_t len = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

}  // namespace

int refused_port() {
  int port = 0;
  ::close(bind_loopback(port));
  return port;
}

RawListener::RawListener(bool close_on_accept) {
  fd_ = bind_loopback(port_);
  if (::listen(fd_, 8) != 0) throw std::runtime_error("cannot listen on a loopback socket");
  if (close_on_accept) {
    acceptor_ = std::thread([this] {
      for (;;) {
        int client = ::accept(fd_, nullptr, nullptr);
        if (client < 0) return;
        char buf[1024];
        (void)::read(client, buf, sizeof buf);
        ::close(client);
      }
    });
  }
}

RawListener::~RawListener() {
  ::shutdown(fd_, SHUT_RDWR);
  ::close(fd_);
  if (acceptor_.joinable()) acceptor_.join();
}

std::string RawListener::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + path;
}

}  // namespace vendro::testing
