#include "mcp/stdio_peer.hpp"

#include <poll.h>
#include <unistd.h>

#include <stdexcept>

namespace vendro::testing {

StdioPeer::StdioPeer(mcp::ToolProvider& provider, mcp::StdioOptions options) {
  int in[2], out[2];
  if (::pipe(in) != 0 || ::pipe(out) != 0) throw std::runtime_error("pipe failed");
  to_server_ = in[1];
  from_server_ = out[0];
  options.input_fd = in[0];
  options.output_fd = out[1];
  server_ = std::thread([this, &provider, options, in_fd = in[0], out_fd = out[1]] {
    result_ = mcp::serve_stdio(provider, options);
    ::close(in_fd);
    ::close(out_fd);
  });
}

StdioPeer::~StdioPeer() {
  finish();
  if (from_server_ >= 0) ::close(from_server_);
}

void StdioPeer::send_raw(const std::string& bytes) {
  std::size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = ::write(to_server_, bytes.data() + written, bytes.size() - written);
    if (n <= 0) throw std::runtime_error("write to server failed");
    written += static_cast<std::size_t>(n);
  }
}

void StdioPeer::send(const Json& message) {
  send_raw(message.dump() + "\n");
}

Json StdioPeer::read(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (true) {
    auto newline = buffered_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffered_.substr(0, newline);
      buffered_.erase(0, newline + 1);
      return Json::parse(line);
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd readable{.fd = from_server_, .events = POLLIN, .revents = 0};
    if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) {
      throw std::runtime_error("no message from the server in time");
    }
    char chunk[65536];
    ssize_t n = ::read(from_server_, chunk, sizeof chunk);
    if (n <= 0) throw std::runtime_error("the server's output ended");
    buffered_.append(chunk, static_cast<std::size_t>(n));
  }
}

Json StdioPeer::call(const Json& id, const std::string& method, Json params) {
  send({{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}});
  while (true) {
    Json message = read();
    if (message.contains("id") && message["id"] == id && !message.contains("method")) {
      return message;
    }
    others.push_back(std::move(message));
  }
}

Json StdioPeer::initialize(const std::string& revision, Json capabilities) {
  Json answer = call("init", "initialize",
                     {{"protocolVersion", revision},
                      {"capabilities", std::move(capabilities)},
                      {"clientInfo", {{"name", "test"}, {"version", "1"}}}});
  send({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}});
  return answer;
}

bool StdioPeer::silent_for(std::chrono::milliseconds quiet) {
  if (buffered_.find('\n') != std::string::npos) return false;
  pollfd readable{.fd = from_server_, .events = POLLIN, .revents = 0};
  return ::poll(&readable, 1, static_cast<int>(quiet.count())) == 0;
}

int StdioPeer::finish() {
  if (to_server_ >= 0) {
    ::close(to_server_);
    to_server_ = -1;
  }
  if (server_.joinable()) server_.join();
  return result_;
}

}  // namespace vendro::testing
