#pragma once
// A stand-in package index on 127.0.0.1 for the update check tests, plus a temporary CONFIG_DIR
// and VENDRO_PACKAGE_INDEX_URL pointing at the stand-in.

#include <atomic>
#include <mutex>
#include <string>

#include "support/local_server.hpp"
#include "support/temp_dir.hpp"

namespace vendro::shared::test {

class IndexServer {
 public:
  IndexServer() {
    local_.server().Get("/pypi/taluno-vendro/json",
                        [this](const httplib::Request&, httplib::Response& res) {
                          ++requests_;
                          std::lock_guard lock(mutex_);
                          res.status = status_;
                          res.set_content(body_, "application/json");
                        });
    local_.start();
  }
  // Answers every request with `status` and `body`.
  void answer(int status, std::string body) {
    std::lock_guard lock(mutex_);
    status_ = status;
    body_ = std::move(body);
  }
  void publish(const std::string& version) {
    answer(200, R"({"info": {"name": "taluno-vendro", "version": ")" + version +
                    R"("}, "releases": {}})");
  }
  int requests() const { return requests_; }
  std::string base_url() const { return local_.base_url(); }

 private:
  testing::LocalServer local_;
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  int status_ = 200;
  std::string body_ = "{}";
};

}  // namespace vendro::shared::test
