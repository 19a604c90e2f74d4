#include "vendro/browser/transport.hpp"

#include <signal.h>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <csignal>
#include <cstring>
#include <mutex>

namespace vendro::browser {

namespace {

// A browser that died leaves our write end without a reader; the write must fail with EPIPE
// (the reader then reports the closed browser) instead of killing the whole program. A handler
// the program installed itself is left alone.
void ignore_sigpipe_once() {
  static std::once_flag once;
  std::call_once(once, [] {
    struct sigaction current {};
    if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
      ::signal(SIGPIPE, SIG_IGN);
    }
  });
}

}  // namespace

PipeTransport::PipeTransport(asio::any_io_executor executor, int write_fd, int read_fd)
    : out_(executor, write_fd), in_(executor, read_fd) {
  ignore_sigpipe_once();
}

void PipeTransport::send(std::string message) {
  if (closed_) return;
  message.push_back('\0');
  queue_.push_back(std::move(message));
  if (writing_) return;
  writing_ = true;
  asio::co_spawn(
      out_.get_executor(), [self = shared_from_this()] { return self->write_queued(); },
      asio::detached);
}

asio::awaitable<void> PipeTransport::write_queued() {
  while (!queue_.empty() && !closed_) {
    std::error_code ec;
    co_await asio::async_write(out_, asio::buffer(queue_.front()),
                               asio::redirect_error(asio::use_awaitable, ec));
    if (ec) {
      close();  // the reader sees the end and fails whatever waits
      break;
    }
    queue_.pop_front();
  }
  writing_ = false;
}

asio::awaitable<std::optional<std::string>> PipeTransport::receive() {
  for (;;) {
    if (const void* end = std::memchr(buffer_.data() + scanned_, '\0', buffer_.size() - scanned_)) {
      const auto length = static_cast<std::size_t>(static_cast<const char*>(end) - buffer_.data());
      std::string message(buffer_.data(), length);
      buffer_.erase(0, length + 1);
      scanned_ = 0;
      co_return message;
    }
    scanned_ = buffer_.size();
    if (closed_) co_return std::nullopt;
    std::error_code ec;
    const std::size_t n = co_await in_.async_read_some(
        asio::buffer(chunk_), asio::redirect_error(asio::use_awaitable, ec));
    buffer_.append(chunk_.data(), n);
    if (ec) {
      closed_ = true;
      co_return std::nullopt;
    }
  }
}

void PipeTransport::close() {
  if (closed_) return;
  closed_ = true;
  queue_.clear();
  std::error_code ec;
  out_.close(ec);
  in_.close(ec);
}

}  // namespace vendro::browser
