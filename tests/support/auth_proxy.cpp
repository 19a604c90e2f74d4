#include "support/auth_proxy.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <sstream>
#include <stdexcept>

namespace vendro::testing {

namespace {

std::string base64(const std::string& bytes) {
  static const char* const ALPHABET =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  std::size_t i = 0;
  for (; i + 2 < bytes.size(); i += 3) {
    const unsigned n = static_cast<unsigned char>(bytes[i]) << 16 |
                       static_cast<unsigned char>(bytes[i + 1]) << 8 |
                       static_cast<unsigned char>(bytes[i + 2]);
    for (int shift : {18, 12, 6, 0}) out += ALPHABET[(n >> shift) & 63];
  }
  if (i + 1 == bytes.size()) {
    const unsigned n = static_cast<unsigned char>(bytes[i]) << 16;
    out += std::string{ALPHABET[(n >> 18) & 63], ALPHABET[(n >> 12) & 63], '=', '='};
  } else if (i + 2 == bytes.size()) {
    const unsigned n =
        static_cast<unsigned char>(bytes[i]) << 16 | static_cast<unsigned char>(bytes[i + 1]) << 8;
    out += std::string{ALPHABET[(n >> 18) & 63], ALPHABET[(n >> 12) & 63], ALPHABET[(n >> 6) & 63],
                       '='};
  }
  return out;
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The value of header `name` (lower case) in a block of "Name: value\r\n" lines, or "".
std::string header(const std::string& headers, const std::string& name) {
  std::istringstream in(headers);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto colon = line.find(':');
    if (colon == std::string::npos || lower(line.substr(0, colon)) != name) continue;
    const auto start = line.find_first_not_of(' ', colon + 1);
    return start == std::string::npos ? "" : line.substr(start);
  }
  return {};
}

bool send_all(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const auto n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string response(const std::string& status, const std::string& extra_headers,
                     const std::string& body, bool with_body, bool keep_alive) {
  return "HTTP/1.1 " + status + "\r\n" + extra_headers +
         "Content-Type: text/html; charset=utf-8\r\nContent-Length: " +
         std::to_string(body.size()) + "\r\n" +
         (keep_alive ? "Proxy-Connection: keep-alive\r\n" : "Connection: close\r\n") + "\r\n" +
         (with_body ? body : "");
}

}  // namespace

AuthProxy::AuthProxy(std::string username, std::string password)
    : expected_(base64(username + ":" + password)) {
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listen_fd_, 16) != 0) {
    if (listen_fd_ >= 0) ::close(listen_fd_);
    throw std::runtime_error("cannot listen for the test proxy");
  }
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

AuthProxy::~AuthProxy() {
  stopping_ = true;
  ::shutdown(listen_fd_, SHUT_RDWR);
  acceptor_.join();
  ::close(listen_fd_);
  {
    std::lock_guard lock(mutex_);
    for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
  }
  for (auto& worker : workers_) worker.join();
}

std::string AuthProxy::url() const {
  return "http://127.0.0.1:" + std::to_string(port_);
}

void AuthProxy::set_body(std::string html) {
  std::lock_guard lock(mutex_);
  body_ = std::move(html);
}

std::vector<std::string> AuthProxy::requested_urls() const {
  std::lock_guard lock(mutex_);
  return urls_;
}

void AuthProxy::accept_loop() {
  for (;;) {
    const int client = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) {
      if (stopping_ || (errno != EINTR && errno != ECONNABORTED)) return;
      continue;
    }
    std::lock_guard lock(mutex_);
    if (stopping_) {
      ::close(client);
      return;
    }
    clients_.push_back(client);
    workers_.emplace_back([this, client] { serve(client); });
  }
}

void AuthProxy::serve(int client) {
  std::string buffer;
  char chunk[4096];
  bool keep_alive = true;
  while (keep_alive) {
    std::size_t end;
    while ((end = buffer.find("\r\n\r\n")) == std::string::npos) {
      const auto n = ::recv(client, chunk, sizeof chunk, 0);
      if (n <= 0) {
        keep_alive = false;
        break;
      }
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    if (!keep_alive) break;
    const std::string head = buffer.substr(0, end + 2);
    buffer.erase(0, end + 4);
    const auto line_end = head.find("\r\n");
    const std::string request_line = head.substr(0, line_end);
    const std::string headers = head.substr(line_end + 2);
    // A body is read and dropped; the stand-in never needs one.
    std::size_t body_size = 0;
    if (const std::string length = header(headers, "content-length"); !length.empty()) {
      body_size = std::stoul(length);
    }
    while (buffer.size() < body_size) {
      const auto n = ::recv(client, chunk, sizeof chunk, 0);
      if (n <= 0) break;
      buffer.append(chunk, static_cast<std::size_t>(n));
    }
    buffer.erase(0, std::min(body_size, buffer.size()));
    if (!send_all(client, answer(request_line, headers, keep_alive))) break;
  }
  std::lock_guard lock(mutex_);
  clients_.erase(std::find(clients_.begin(), clients_.end(), client));
  ::close(client);
}

std::string AuthProxy::answer(const std::string& request_line, const std::string& headers,
                              bool& keep_alive) {
  std::istringstream words(request_line);
  std::string method, target, version;
  words >> method >> target >> version;
  const std::string connection =
      lower(header(headers, "proxy-connection") + " " + header(headers, "connection"));
  keep_alive = version == "HTTP/1.1" ? connection.find("close") == std::string::npos
                                     : connection.find("keep-alive") != std::string::npos;
  std::string body;
  {
    std::lock_guard lock(mutex_);
    urls_.push_back(target);
    body = body_;
  }
  const bool absolute = target.rfind("http://", 0) == 0;
  if (!absolute && method != "CONNECT") {
    keep_alive = false;
    return response("400 Bad Request", "", "<html><body>not a proxy request</body></html>", true,
                    false);
  }
  const std::string credentials = header(headers, "proxy-authorization");
  const auto space = credentials.find(' ');
  const bool valid = space != std::string::npos && lower(credentials.substr(0, space)) == "basic" &&
                     credentials.substr(credentials.find_first_not_of(' ', space)) == expected_;
  if (!valid) {
    ++challenges_;
    return response(
        "407 Proxy Authentication Required", "Proxy-Authenticate: Basic realm=\"vendro-test\"\r\n",
        "<html><body>proxy authentication required</body></html>", method != "HEAD", keep_alive);
  }
  if (method == "CONNECT") {  // nothing to tunnel to
    keep_alive = false;
    return response("501 Not Implemented", "", "", false, false);
  }
  ++authorised_;
  return response("200 OK", "", body, method != "HEAD", keep_alive);
}

}  // namespace vendro::testing
