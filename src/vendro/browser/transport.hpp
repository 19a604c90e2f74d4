#pragma once
// How DevTools messages travel. Transport is what a Connection needs of its peer, so that the
// connection can be driven by a scripted peer in tests; PipeTransport is the real one.

#include <array>
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace vendro::browser {

// One message at a time each way, on one io_context. Not thread-safe.
class Transport {
 public:
  virtual ~Transport() = default;
  // Queues one JSON message; never blocks, never throws. Messages sent after close() are dropped.
  virtual void send(std::string message) = 0;
  // The next message, or nothing once the peer closed its end (or close() was called). One
  // receive() at a time.
  virtual asio::awaitable<std::optional<std::string>> receive() = 0;
  // Closes both directions; a pending receive() ends with nothing. Idempotent.
  virtual void close() = 0;
};

// The DevTools pipe: JSON messages, each terminated by a NUL byte, written to the browser's fd 3
// and read from its fd 4. Sends are queued and written in order by the loop. The first transport
// sets SIGPIPE to ignored when the program left it at its default, so a dead browser cannot kill
// the program.
class PipeTransport final : public Transport, public std::enable_shared_from_this<PipeTransport> {
 public:
  // Takes ownership of both descriptors.
  PipeTransport(asio::any_io_executor executor, int write_fd, int read_fd);

  void send(std::string message) override;
  asio::awaitable<std::optional<std::string>> receive() override;
  void close() override;

 private:
  asio::awaitable<void> write_queued();

  asio::posix::stream_descriptor out_;
  asio::posix::stream_descriptor in_;
  std::deque<std::string> queue_;
  bool writing_ = false;
  bool closed_ = false;
  std::string buffer_;
  std::size_t scanned_ = 0;
  std::array<char, 64 * 1024> chunk_;  // bytes of buffer_ known to hold no terminator
};

}  // namespace vendro::browser
