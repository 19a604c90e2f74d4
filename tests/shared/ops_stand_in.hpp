#pragma once
// A stand-in for the OPS backend's file service on 127.0.0.1: it records every multipart part in
// the order received (the file part's bytes only counted when `keep_file_bytes` is false, so
// huge uploads are discarded as they stream in), the headers and cookies, and answers with the
// status and body that the test sets.

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "support/local_server.hpp"

namespace vendro::testing {

struct ReceivedPart {
  std::string name;
  std::string filename;
  std::string content_type;
  std::string content;
  std::size_t size = 0;
};

struct ReceivedUpload {
  std::string path;
  std::string authorization;
  std::string cookie;
  std::map<std::string, std::string> headers;
  std::vector<ReceivedPart> parts;

  const ReceivedPart* part(const std::string& name) const {
    for (const auto& p : parts) {
      if (p.name == name) return &p;
    }
    return nullptr;
  }
  std::vector<std::string> part_names() const {
    std::vector<std::string> names;
    for (const auto& p : parts) names.push_back(p.name);
    return names;
  }
};

class OpsStandIn {
 public:
  explicit OpsStandIn(bool keep_file_bytes = true) : keep_file_bytes_(keep_file_bytes) {
    server_.server().Post(
        ".*", [this](const httplib::Request& req, httplib::Response& res,
                     const httplib::ContentReader& read_body) { handle(req, res, read_body); });
    server_.start();
  }

  std::string base_url() const { return server_.base_url(); }

  void answer(int status, std::string body, std::string content_type = "application/json") {
    std::lock_guard lock(mutex_);
    status_ = status;
    body_ = std::move(body);
    content_type_ = std::move(content_type);
  }
  // The answer of the session-for-token exchange.
  void answer_session(int status, std::string body) {
    std::lock_guard lock(mutex_);
    session_status_ = status;
    session_body_ = std::move(body);
  }

  std::vector<ReceivedUpload> uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
  }
  std::vector<ReceivedUpload> session_requests() const {
    std::lock_guard lock(mutex_);
    return session_requests_;
  }

 private:
  void handle(const httplib::Request& req, httplib::Response& res,
              const httplib::ContentReader& read_body) {
    ReceivedUpload received{.path = req.path,
                            .authorization = req.get_header_value("Authorization"),
                            .cookie = req.get_header_value("Cookie")};
    for (const auto& [name, value] : req.headers) received.headers[name] = value;
    if (req.is_multipart_form_data()) {
      read_body(
          [&](const httplib::MultipartFormData& part) {
            received.parts.push_back(
                {.name = part.name, .filename = part.filename, .content_type = part.content_type});
            return true;
          },
          [&](const char* data, std::size_t length) {
            auto& part = received.parts.back();
            part.size += length;
            if (keep_file_bytes_ || part.filename.empty()) part.content.append(data, length);
            return true;
          });
    } else {
      std::string body;
      read_body([&](const char* data, std::size_t length) {
        body.append(data, length);
        return true;
      });
      received.parts.push_back({.name = "(body)", .content = body, .size = body.size()});
    }
    std::lock_guard lock(mutex_);
    if (received.path.find("/auth/") != std::string::npos) {
      session_requests_.push_back(received);
      res.status = session_status_;
      res.set_content(session_body_, "application/json");
      return;
    }
    uploads_.push_back(std::move(received));
    res.status = status_;
    res.set_content(body_, content_type_.c_str());
  }

  bool keep_file_bytes_;
  mutable std::mutex mutex_;
  int status_ = 200;
  std::string body_ = R"({"code":0,"data":{"url":"https://files.example/u/1"}})";
  std::string content_type_ = "application/json";
  int session_status_ = 200;
  std::string session_body_ = R"({"code":0,"data":{"token":"exchanged-token"}})";
  std::vector<ReceivedUpload> uploads_;
  std::vector<ReceivedUpload> session_requests_;
  LocalServer server_;  // last: stops before the members its handlers use are destroyed
};

}  // namespace vendro::testing
