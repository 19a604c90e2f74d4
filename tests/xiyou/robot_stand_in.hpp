#pragma once
// Stand-ins for the WeCom group robot on 127.0.0.1: one that records every message and answers
// what the test sets, and one that accepts connections but never answers.

#include <mutex>
#include <string>
#include <vector>

#include "support/local_server.hpp"
#include "support/sockets.hpp"
#include "vendro/core/json.hpp"

namespace vendro::testing {

class RobotStandIn {
 public:
  RobotStandIn() {
    server_.server().Post("/cgi-bin/webhook/send",
                          [this](const httplib::Request& req, httplib::Response& res) {
                            std::lock_guard lock(mutex_);
                            messages_.push_back(req.body);
                            content_types_.push_back(req.get_header_value("Content-Type"));
                            keys_.push_back(req.get_param_value("key"));
                            res.status = status_;
                            res.set_content(body_, content_type_.c_str());
                          });
    server_.start();
  }

  std::string webhook_url() const { return server_.base_url() + "/cgi-bin/webhook/send?key=k-1"; }

  void answer(int status, std::string body, std::string content_type = "application/json") {
    std::lock_guard lock(mutex_);
    status_ = status;
    body_ = std::move(body);
    content_type_ = std::move(content_type);
  }

  std::vector<Json> messages() const {
    std::lock_guard lock(mutex_);
    std::vector<Json> parsed;
    for (const auto& m : messages_) parsed.push_back(Json::parse(m));
    return parsed;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return messages_.size();
  }
  std::vector<std::string> content_types() const {
    std::lock_guard lock(mutex_);
    return content_types_;
  }
  std::vector<std::string> keys() const {
    std::lock_guard lock(mutex_);
    return keys_;
  }

 private:
  mutable std::mutex mutex_;
  int status_ = 200;
  std::string body_ = R"({"errcode":0,"errmsg":"ok"})";
  std::string content_type_ = "application/json";
  std::vector<std::string> messages_;
  std::vector<std::string> content_types_;
  std::vector<std::string> keys_;
  LocalServer server_;  // last: stops before the members its handler uses go away
};

// A robot that never answers: the connection is accepted by the kernel, nobody replies.
class SilentRobot {
 public:
  std::string webhook_url() const { return listener_.url("/cgi-bin/webhook/send?key=k-1"); }

 private:
  RawListener listener_;
};

}  // namespace vendro::testing
