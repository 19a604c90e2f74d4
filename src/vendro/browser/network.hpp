#pragma once
// Requests and responses of one page, built from the Network domain's events, and the listeners
// and waiters that receive them. Each event reaches each listener as its own coroutine on the
// page's loop; a listener removed before its coroutine starts is not called. Objects are shared
// with handlers and stay valid after the page closes (their bodies then fail).

#include <asio/awaitable.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "vendro/browser/notifier.hpp"
#include "vendro/browser/session.hpp"
#include "vendro/core/json.hpp"

namespace vendro::browser {

class NetworkManager;

// One header line as it went over the wire: name in the sender's spelling, one value.
struct Header {
  std::string name;
  std::string value;
  bool operator==(const Header&) const = default;
};

// Header lines to a map of lower-case names, as callers look them up ("content-type"). Several
// lines of one name are joined with ", ", except set-cookie, whose lines are joined with "\n"
// (a cookie's expiry date holds a comma).
Json lower_case_headers(const std::vector<Header>& lines);

class Request {
 public:
  const std::string& url() const { return url_; }
  const std::string& method() const { return method_; }
  // Lower-case header names to values (see lower_case_headers).
  const Json& headers() const { return headers_; }
  // The header lines as sent, names unchanged, one entry per value.
  const std::vector<Header>& headers_array() const { return header_lines_; }
  // The request body as text, or nothing when there is none. Bodies the browser left out of the
  // event are fetched before any listener sees the request.
  const std::optional<std::string>& post_data() const { return post_data_; }
  // "Document", "XHR", "Fetch", "Script", ...
  const std::string& resource_type() const { return resource_type_; }
  // The request that was redirected to this one, if any.
  std::shared_ptr<Request> redirected_from() const { return redirected_from_; }

 private:
  friend class NetworkManager;
  std::string id_;
  std::string url_;
  std::string method_;
  Json headers_ = Json::object();
  std::vector<Header> header_lines_;
  std::optional<std::string> post_data_;
  bool post_data_missing_ = false;  // the browser has a body it did not include
  std::string resource_type_;
  std::shared_ptr<Request> redirected_from_;
};

class Response {
 public:
  const std::string& url() const { return url_; }
  int status() const { return status_; }
  const std::string& status_text() const { return status_text_; }
  // Lower-case header names to values (see lower_case_headers).
  const Json& headers() const { return headers_; }
  // The header lines as received, names unchanged, one entry per value.
  const std::vector<Header>& headers_array() const { return header_lines_; }
  std::shared_ptr<Request> request() const { return request_; }
  bool is_redirect() const { return redirect_; }

  // The body bytes, once the browser has received all of them. Throws ResponseBodyError for a
  // redirect, a load that failed, or a body the browser no longer holds; TargetClosedError when
  // the page closed first.
  asio::awaitable<std::string> body();
  // The body parsed as JSON, whatever the content type. Throws ResponseBodyError naming the URL
  // when it is not JSON.
  asio::awaitable<Json> json();

 private:
  friend class NetworkManager;
  std::weak_ptr<NetworkManager> manager_;
  std::string request_id_;
  std::string url_;
  int status_ = 0;
  std::string status_text_;
  Json headers_ = Json::object();
  std::vector<Header> header_lines_;
  std::shared_ptr<Request> request_;
  bool redirect_ = false;
};

using RequestHandler = std::function<asio::awaitable<void>(std::shared_ptr<Request>)>;
using ResponseHandler = std::function<asio::awaitable<void>(std::shared_ptr<Response>)>;
using ListenerId = std::uint64_t;

class NetworkManager : public std::enable_shared_from_this<NetworkManager> {
 public:
  NetworkManager(asio::any_io_executor executor, std::shared_ptr<Session> session);

  // Feeds one Network.* event of the page's session.
  void handle_event(std::string_view method, const Json& params);
  // The page closed: bodies not yet loaded fail, waiters wake.
  void mark_closed();
  bool closed() const { return closed_; }

  ListenerId add_request_listener(RequestHandler handler);
  ListenerId add_response_listener(ResponseHandler handler);
  void remove_listener(ListenerId id);

  // Requests started and not yet finished or failed.
  std::size_t inflight() const { return inflight_.size(); }
  // Runs `callback` whenever inflight() may have changed.
  void on_inflight_change(std::function<void()> callback) {
    inflight_changed_ = std::move(callback);
  }

  asio::awaitable<std::string> response_body(const Response& response);

 private:
  struct Loading {
    bool finished = false;
    std::optional<std::string> failure;
  };

  void on_request_will_be_sent(const Json& params);
  void on_response_received(const Json& params);
  void on_loading_done(const Json& params, bool failed);
  std::shared_ptr<Response> make_response(const Json& wire, const std::string& request_id,
                                          std::shared_ptr<Request> request, bool redirect);
  void emit_request(const std::shared_ptr<Request>& request);
  void emit_response(const std::shared_ptr<Response>& response);
  asio::awaitable<void> complete_post_data(std::shared_ptr<Request> request);

  asio::any_io_executor executor_;
  std::shared_ptr<Session> session_;
  bool closed_ = false;
  Notifier loading_changed_;
  std::unordered_map<std::string, std::shared_ptr<Request>> requests_;  // by request id
  std::unordered_set<std::string> inflight_;
  std::unordered_map<std::string, Loading> loading_;  // request id → body state
  std::function<void()> inflight_changed_;
  ListenerId next_listener_ = 1;
  std::map<ListenerId, RequestHandler> request_listeners_;
  std::map<ListenerId, ResponseHandler> response_listeners_;
};

}  // namespace vendro::browser
