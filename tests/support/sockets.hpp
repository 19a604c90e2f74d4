#pragma once
// Misbehaving peers on 127.0.0.1 for transport-failure tests.

#include <string>
#include <thread>

namespace vendro::testing {

// A port where nothing listens, so connections are refused at once.
int refused_port();

// Listens and, by default, never accepts: the kernel completes the handshake, nobody answers.
// With `close_on_accept` it accepts each connection, reads a little and closes it unanswered.
class RawListener {
 public:
  explicit RawListener(bool close_on_accept = false);
  ~RawListener();
  RawListener(const RawListener&) = delete;
  RawListener& operator=(const RawListener&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:PORT" followed by `path`.
  std::string url(const std::string& path = "/") const;

 private:
  int fd_ = -1;
  int port_ = 0;
  std::thread acceptor_;
};

}  // namespace vendro::testing
