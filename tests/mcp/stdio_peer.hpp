#pragma once
// A client of serve_stdio over real pipes: the server runs on a thread of the test, reading one
// pipe and writing another.

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "vendro/mcp/stdio_transport.hpp"

namespace vendro::testing {

class StdioPeer {
 public:
  StdioPeer(mcp::ToolProvider& provider, mcp::StdioOptions options = {});
  // Ends the input and waits for the server to return.
  ~StdioPeer();
  StdioPeer(const StdioPeer&) = delete;
  StdioPeer& operator=(const StdioPeer&) = delete;

  void send_raw(const std::string& bytes);
  void send(const Json& message);
  // The next message the server wrote; throws std::runtime_error after `timeout`.
  Json read(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Sends a request and reads until its answer; messages read on the way are kept in `others`.
  Json call(const Json& id, const std::string& method, Json params = Json::object());
  // initialize with `revision` and client capabilities, then notifications/initialized.
  Json initialize(const std::string& revision = "2025-11-25", Json capabilities = Json::object());
  // True when nothing arrives within `quiet`.
  bool silent_for(std::chrono::milliseconds quiet);
  // Closes the server's input; returns what serve_stdio returned.
  int finish();

  std::vector<Json> others;

 private:
  int to_server_ = -1;
  int from_server_ = -1;
  std::string buffered_;
  std::thread server_;
  int result_ = -1;
};

}  // namespace vendro::testing
