#include "vendro/mcp/http_transport.hpp"

#include <httplib.h>
#include <signal.h>
#include <sys/random.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "vendro/mcp/http_guard.hpp"
#include "vendro/mcp/post_stream.hpp"
#include "vendro/mcp/protocol.hpp"
#include "vendro/mcp/session.hpp"

namespace vendro::mcp {

namespace {

using Clock = std::chrono::steady_clock;
using httplib::Request;
using httplib::Response;

constexpr auto KEEP_ALIVE_EVERY = std::chrono::seconds(15);

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

// 32 bytes from the kernel's random source, as hex.
std::string new_session_id() {
  unsigned char bytes[32];
  std::size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) throw McpServerError("无法生成会话 id：系统随机数不可用");
    got += static_cast<std::size_t>(n);
  }
  static constexpr char digits[] = "0123456789abcdef";
  std::string id;
  for (unsigned char b : bytes) {
    id += digits[b >> 4];
    id += digits[b & 15];
  }
  return id;
}

// Whether an Accept header admits `type` ("application/json", "text/event-stream").
bool accepts(const std::string& accept, const std::string& type) {
  const std::string wildcard = type.substr(0, type.find('/')) + "/*";
  std::size_t start = 0;
  while (start <= accept.size()) {
    std::size_t end = std::min(accept.find(',', start), accept.size());
    std::string item = accept.substr(start, end - start);
    item = item.substr(0, item.find(';'));
    item.erase(0, item.find_first_not_of(" \t"));
    item.erase(item.find_last_not_of(" \t") + 1);
    item = lower(item);
    if (item == type || item == wildcard || item == "*/*") return true;
    start = end + 1;
  }
  return false;
}

void refuse(Response& res, int status, int code, const std::string& message) {
  res.status = status;
  res.set_content(to_compact_json(rpc::error_response(nullptr, code, message)), "application/json");
}

Headers x_headers(const Request& req) {
  Headers headers;
  for (const auto& [name, value] : req.headers) {
    if (name.size() > 2 && (name[0] == 'x' || name[0] == 'X') && name[1] == '-') {
      headers.emplace_back(name, value);
    }
  }
  return headers;
}

}  // namespace

class HttpServer::Impl {
 public:
  Impl(ToolProvider& provider, HttpOptions options)
      : provider_(provider),
        options_(std::move(options)),
        slots_(std::make_shared<CallSlots>(options_.max_calls)) {
    if (options_.api_key && options_.api_key->empty()) options_.api_key.reset();
    if (!is_loopback_host(options_.host) && !options_.api_key) {
      throw McpServerError(
          "拒绝在非本机地址 " + options_.host +
          " 上提供服务：请设置访问密钥（api key），否则同一网络中的任何人都能调用工具");
    }
    routes();
    // Each call in flight can hold a worker while its answer streams, and elicitation answers
    // must still get through, so the pool is well above the call bound.
    const std::size_t workers = options_.max_calls + 24;
    server_.new_task_queue = [workers] { return new httplib::ThreadPool(workers); };
    server_.set_payload_max_length(MAX_MESSAGE_BYTES);
    server_.set_keep_alive_max_count(1000);
    std::string bind_host = options_.host == "localhost" ? "127.0.0.1" : options_.host;
    if (options_.port == 0) {
      port_ = server_.bind_to_any_port(bind_host);
    } else if (server_.bind_to_port(bind_host, options_.port)) {
      port_ = options_.port;
    }
    if (port_ <= 0) {
      throw McpServerError("无法监听 " + options_.host + ":" + std::to_string(options_.port) +
                           "（地址无效或端口已被占用）");
    }
  }

  int port() const { return port_; }

  std::string url() const {
    std::string host =
        options_.host.find(':') != std::string::npos ? "[" + options_.host + "]" : options_.host;
    return "http://" + host + ":" + std::to_string(port_) + "/mcp";
  }

  void run() {
    {
      std::lock_guard lock(stop_mutex_);
      if (stopping_) return;
      in_run_ = true;
    }
    server_.listen_after_bind();
    in_run_ = false;
  }

  void stop() {
    std::lock_guard stop_lock(stop_mutex_);
    if (stopped_) return;
    stopping_ = true;
    std::vector<std::shared_ptr<Session>> sessions;
    {
      std::lock_guard lock(mutex_);
      for (auto& [id, entry] : sessions_) sessions.push_back(entry.session);
    }
    const auto deadline = Clock::now() + options_.shutdown_grace;
    for (auto& session : sessions) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      session->shutdown(std::max(left, std::chrono::milliseconds(0)));
    }
    {
      std::lock_guard lock(mutex_);
      for (auto& weak : streams_) {
        if (auto stream = weak.lock()) stream->abort();
      }
      streams_.clear();
    }
    // run() may have begun without listening yet; the listener only stops once it listens.
    while (in_run_ && !server_.is_running()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    server_.stop();
    stopped_ = true;
  }

 private:
  struct Entry {
    std::shared_ptr<Session> session;
    Clock::time_point last_used;
  };

  void routes() {
    server_.set_pre_routing_handler([this](const Request& req, Response& res) {
      return guard(req, res) ? httplib::Server::HandlerResponse::Unhandled
                             : httplib::Server::HandlerResponse::Handled;
    });
    server_.Post("/mcp", [this](const Request& req, Response& res) { post(req, res); });
    server_.Get("/mcp", [](const Request&, Response& res) {
      res.set_header("Allow", "POST, DELETE");
      refuse(res, 405, rpc::TRANSPORT_ERROR, "此服务不提供独立的事件流：请用 POST 发送消息");
    });
    server_.Delete("/mcp", [this](const Request& req, Response& res) { remove(req, res); });
  }

  // Host, Origin, key and path. False when the request was refused (the response says why).
  bool guard(const Request& req, Response& res) {
    auto refuse_and_close = [&](int status, const std::string& message) {
      // The body of a refused request is never read; the connection cannot carry another.
      res.set_header("Connection", "close");
      refuse(res, status, rpc::TRANSPORT_ERROR, message);
      return false;
    };
    if (!host_allowed(req.get_header_value("Host"), options_.host, options_.allowed_hosts)) {
      return refuse_and_close(403, "请求的 Host 不被允许（防止 DNS 重绑定）");
    }
    if (req.has_header("Origin") &&
        !origin_allowed(req.get_header_value("Origin"), options_.allowed_origins)) {
      return refuse_and_close(403, "请求来源（Origin）不被允许");
    }
    if (options_.api_key &&
        !bearer_matches(req.get_header_value("Authorization"), *options_.api_key)) {
      res.set_header("WWW-Authenticate", "Bearer");
      return refuse_and_close(401, "缺少或错误的访问密钥（Authorization: Bearer ...）");
    }
    if (req.path != "/mcp") return refuse_and_close(404, "未知的路径：服务只在 /mcp 上");
    if (stopping_) return refuse_and_close(503, "服务器正在关闭");
    return true;
  }

  // The session a request names: nullptr (and the response set) when it names none or an
  // unknown one.
  std::shared_ptr<Session> find_session(const Request& req, Response& res) {
    if (!req.has_header("Mcp-Session-Id")) {
      refuse(res, 400, rpc::TRANSPORT_ERROR, "缺少 Mcp-Session-Id：请先发送 initialize");
      return nullptr;
    }
    std::lock_guard lock(mutex_);
    auto found = sessions_.find(req.get_header_value("Mcp-Session-Id"));
    if (found == sessions_.end()) {
      refuse(res, 404, rpc::TRANSPORT_ERROR, "会话不存在或已结束：请重新 initialize");
      return nullptr;
    }
    found->second.last_used = Clock::now();
    return found->second.session;
  }

  // Room for one more session: forgets idle ones. False when every slot is busy.
  bool make_room() {
    const auto now = Clock::now();
    for (auto it = sessions_.begin(); it != sessions_.end();) {
      bool idle = it->second.session->calls_in_flight() == 0;
      it = idle && now - it->second.last_used > options_.session_idle_timeout ? sessions_.erase(it)
                                                                              : std::next(it);
    }
    if (sessions_.size() < options_.max_sessions) return true;
    auto oldest = sessions_.end();
    for (auto it = sessions_.begin(); it != sessions_.end(); ++it) {
      if (it->second.session->calls_in_flight() == 0 &&
          (oldest == sessions_.end() || it->second.last_used < oldest->second.last_used)) {
        oldest = it;
      }
    }
    if (oldest == sessions_.end()) return false;
    sessions_.erase(oldest);
    return true;
  }

  void post(const Request& req, Response& res) {
    if (lower(req.get_header_value("Content-Type")).rfind("application/json", 0) != 0) {
      return refuse(res, 415, rpc::TRANSPORT_ERROR, "Content-Type 必须是 application/json");
    }
    const std::string accept = req.has_header("Accept") ? req.get_header_value("Accept") : "*/*";
    if (!accepts(accept, "application/json") || !accepts(accept, "text/event-stream")) {
      return refuse(res, 406, rpc::TRANSPORT_ERROR,
                    "Accept 必须同时接受 application/json 和 text/event-stream");
    }
    if (req.has_header("MCP-Protocol-Version") &&
        !is_known_revision(req.get_header_value("MCP-Protocol-Version"))) {
      return refuse(res, 400, rpc::TRANSPORT_ERROR,
                    "不支持的协议版本：" + req.get_header_value("MCP-Protocol-Version"));
    }
    Json message;
    try {
      message = parse_json(req.body, "请求正文");
    } catch (const std::exception& error) {
      return refuse(res, 400, rpc::PARSE_ERROR, std::string("解析错误：") + error.what());
    }

    std::shared_ptr<Session> session;
    std::string new_id;
    if (!req.has_header("Mcp-Session-Id") && rpc::is_initialize(message)) {
      session = std::make_shared<Session>(
          provider_, SessionOptions{.page_size = options_.page_size, .slots = slots_});
      new_id = new_session_id();
    } else if (!(session = find_session(req, res))) {
      return;
    }

    auto stream = std::make_shared<PostStream>();
    {
      std::lock_guard lock(mutex_);
      std::erase_if(streams_, [](const auto& weak) { return weak.expired(); });
      streams_.push_back(stream);
    }
    session->handle(message, stream, x_headers(req));
    if (!new_id.empty()) {
      if (!session->initialized()) return answer_plainly(res, *stream, 400);
      std::lock_guard lock(mutex_);
      if (!make_room()) {
        return refuse(res, 503, rpc::TRANSPORT_ERROR,
                      "会话数已达上限，且都有调用在进行：请稍后再试");
      }
      sessions_[new_id] = {session, Clock::now()};
      res.set_header("Mcp-Session-Id", new_id);
    }

    if (stream->settle(rpc::wants_progress(message), options_.json_answer_wait) ==
        PostStream::Shape::Answered) {
      return answer_plainly(res, *stream, rpc::has_request(message) ? 200 : 400);
    }
    res.status = 200;
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream", [stream](std::size_t, httplib::DataSink& sink) {
          std::string events;
          bool more = stream->take(events, KEEP_ALIVE_EVERY);
          // A comment line now and then finds out whether the client is still there.
          if (events.empty() && more) events = ": keep-alive\n\n";
          if (!events.empty() && !sink.write(events.data(), events.size())) {
            stream->abort();
            return false;
          }
          if (!more) sink.done();
          return true;
        });
  }

  // Everything was answers: one JSON body, or 202 when nothing needs an answer. `status` is
  // for a body (400 when only refusals of notifications or responses are in it).
  static void answer_plainly(Response& res, PostStream& stream, int status) {
    std::string body = stream.body();
    if (body.empty()) {
      res.status = 202;
      return;
    }
    res.status = status;
    res.set_content(body, "application/json");
  }

  void remove(const Request& req, Response& res) {
    std::shared_ptr<Session> session = find_session(req, res);
    if (!session) return;
    {
      std::lock_guard lock(mutex_);
      sessions_.erase(req.get_header_value("Mcp-Session-Id"));
    }
    // The calls are told to stop; they end on their own threads.
    session->shutdown(std::chrono::milliseconds(0));
    res.status = 200;
  }

  ToolProvider& provider_;
  HttpOptions options_;
  std::shared_ptr<CallSlots> slots_;
  httplib::Server server_;
  int port_ = 0;

  std::mutex mutex_;  // sessions_ and streams_
  std::map<std::string, Entry> sessions_;
  std::vector<std::weak_ptr<PostStream>> streams_;

  std::mutex stop_mutex_;
  std::atomic<bool> stopping_{false};
  std::atomic<bool> in_run_{false};
  bool stopped_ = false;
};

HttpServer::HttpServer(ToolProvider& provider, HttpOptions options)
    : impl_(std::make_unique<Impl>(provider, std::move(options))) {}

HttpServer::~HttpServer() {
  impl_->stop();
}

int HttpServer::port() const {
  return impl_->port();
}
std::string HttpServer::url() const {
  return impl_->url();
}
void HttpServer::run() {
  impl_->run();
}
void HttpServer::stop() {
  impl_->stop();
}

int serve_http(ToolProvider& provider, HttpOptions options) {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  sigset_t previous;
  ::pthread_sigmask(SIG_BLOCK, &signals, &previous);
  struct RestoreMask {
    sigset_t mask;
    ~RestoreMask() { ::pthread_sigmask(SIG_SETMASK, &mask, nullptr); }
  } restore{previous};

  HttpServer server(provider, std::move(options));
  std::atomic<bool> ended{false};
  std::thread serving([&] {
    server.run();
    ended = true;
  });
  std::cerr << "MCP 服务已启动：" << server.url() << std::endl;
  const timespec tick{.tv_sec = 0, .tv_nsec = 200'000'000};
  while (!ended && ::sigtimedwait(&signals, nullptr, &tick) < 0) {
  }
  std::cerr << "正在停止 MCP 服务……" << std::endl;
  server.stop();
  serving.join();
  return 0;
}

}  // namespace vendro::mcp
