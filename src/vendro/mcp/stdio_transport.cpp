#include "vendro/mcp/stdio_transport.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "vendro/mcp/protocol.hpp"
#include "vendro/mcp/session.hpp"

namespace vendro::mcp {

namespace {

// The one writer of the output stream: every exchange shares it, a line at a time.
class LineWriter : public Channel {
 public:
  explicit LineWriter(int fd) : fd_(fd) {}

  void send(const Json& message) override {
    std::string line = to_compact_json(message);
    line += '\n';
    std::lock_guard lock(mutex_);
    if (broken_) return;
    std::size_t written = 0;
    while (written < line.size()) {
      ssize_t n = ::write(fd_, line.data() + written, line.size() - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else if (n < 0 && errno == EAGAIN) {
        pollfd writable{.fd = fd_, .events = POLLOUT, .revents = 0};
        ::poll(&writable, 1, 1000);
      } else {
        broken_ = true;  // the reader is gone: nobody is left to answer
        return;
      }
    }
  }

 private:
  std::mutex mutex_;
  const int fd_;
  bool broken_ = false;
};

void ignore_sigpipe() {
  struct sigaction current {};
  if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL) {
    ::signal(SIGPIPE, SIG_IGN);
  }
}

// Takes fd 1 for the protocol and points fd 1 itself at standard error.
int take_standard_output() {
  std::cout.flush();
  std::fflush(stdout);
  int fd = ::fcntl(1, F_DUPFD_CLOEXEC, 3);
  if (fd < 0 || ::dup2(2, 1) < 0) {
    throw McpServerError("无法接管标准输出作为协议通道：" + std::string(std::strerror(errno)));
  }
  return fd;
}

// Splits the input into lines and hands each non-blank one to the session.
class LineReader {
 public:
  LineReader(Session& session, std::shared_ptr<Channel> writer)
      : session_(session), writer_(std::move(writer)) {}

  void feed(const char* data, std::size_t size) {
    std::string_view chunk(data, size);
    while (!chunk.empty()) {
      auto newline = chunk.find('\n');
      std::string_view piece = chunk.substr(0, newline);
      if (!skipping_) {
        if (pending_.size() + piece.size() > MAX_MESSAGE_BYTES) {
          skipping_ = true;
          pending_.clear();
          pending_.shrink_to_fit();
          writer_->send(rpc::error_response(nullptr, rpc::PARSE_ERROR,
                                            "解析错误：消息超过 " +
                                                std::to_string(MAX_MESSAGE_BYTES / (1024 * 1024)) +
                                                " MiB 的上限，已跳过"));
        } else {
          pending_.append(piece);
        }
      }
      if (newline == std::string_view::npos) return;
      chunk.remove_prefix(newline + 1);
      if (!skipping_) finish_line();
      skipping_ = false;
      pending_.clear();
    }
  }

  void end() {
    if (!skipping_) finish_line();
  }

 private:
  void finish_line() {
    std::string_view line = pending_;
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.find_first_not_of(" \t\r") == std::string_view::npos) return;
    session_.handle_text(line, writer_);
  }

  Session& session_;
  std::shared_ptr<Channel> writer_;
  std::string pending_;
  bool skipping_ = false;
};

}  // namespace

int serve_stdio(ToolProvider& provider, StdioOptions options) {
  const bool own_output = options.output_fd < 0;
  const int output_fd = own_output ? take_standard_output() : options.output_fd;
  ignore_sigpipe();
  auto writer = std::make_shared<LineWriter>(output_fd);
  Session session(provider, {.page_size = options.page_size,
                             .slots = std::make_shared<CallSlots>(options.max_calls)});
  LineReader reader(session, writer);
  std::string buffer(64 * 1024, '\0');
  while (true) {
    ssize_t n = ::read(options.input_fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd readable{.fd = options.input_fd, .events = POLLIN, .revents = 0};
      ::poll(&readable, 1, -1);
      continue;
    }
    if (n <= 0) break;
    reader.feed(buffer.data(), static_cast<std::size_t>(n));
  }
  reader.end();
  // A call that outlived the grace may still write: its descriptor stays open (and cannot be
  // reused for something else) until the process ends.
  if (session.shutdown(options.shutdown_grace) && own_output) ::close(output_fd);
  return 0;
}

}  // namespace vendro::mcp
