#pragma once
// The DevTools pipe: JSON messages, each terminated by a NUL byte, written to the browser's fd 3
// and read from its fd 4. One reader at a time; sends are queued and written in order by the
// loop, so send() never blocks. Used on one io_context only. The first transport sets SIGPIPE to
// ignored when the program left it at its default, so a dead browser cannot kill the program.

#include <array>
#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <deque>
#include <memory>
#include <optional>
#include <string>

namespace vendro::browser {

class PipeTransport : public std::enable_shared_from_this<PipeTransport> {
 public:
  // Takes ownership of both descriptors.
  PipeTransport(asio::any_io_executor executor, int write_fd, int read_fd);

  // Queues `message` (without its terminator). Messages sent after close() are dropped.
  void send(std::string message);
  // The next message, or nothing once the browser closed its end (or close() was called).
  asio::awaitable<std::optional<std::string>> receive();
  // Closes both ends; a pending receive() ends with nothing.
  void close();

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
