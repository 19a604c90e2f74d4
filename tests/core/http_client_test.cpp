#include "vendro/core/http_client.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "support/local_server.hpp"
#include "support/sockets.hpp"
#include "support/temp_dir.hpp"

namespace vendro::http {
namespace {

using testing::LocalServer;
using testing::RawListener;
using testing::TempDir;

TEST(HttpClient, SendsHeadersCookiesAndReturnsAnyStatus) {
  LocalServer local;
  local.server().Get("/missing", [](const httplib::Request& req, httplib::Response& res) {
    res.status = 404;
    res.set_header("X-Seen-Auth", req.get_header_value("Authorization"));
    res.set_header("X-Seen-Cookie", req.get_header_value("Cookie"));
    res.set_content(R"({"message":"没有"})", "application/json");
  });
  local.start();
  Request request{.url = local.base_url() + "/missing",
                  .headers = {{"Authorization", "Bearer abc"}},
                  .cookies = {{"a", "1"}, {"nimbraUserToken", "sid"}}};
  Response response = send(request);
  EXPECT_EQ(response.status, 404);
  EXPECT_FALSE(response.ok());
  EXPECT_EQ(response.header("x-seen-auth"), "Bearer abc");
  EXPECT_EQ(response.header("X-Seen-Cookie"), "a=1; nimbraUserToken=sid");
  EXPECT_EQ(response.body, R"({"message":"没有"})");
  EXPECT_EQ(response.header("Nope"), std::nullopt);
}

TEST(HttpClient, PostsJsonAndFollowsRedirects) {
  LocalServer local;
  std::string seen_body, seen_type;
  local.server().Post("/old", [](const httplib::Request&, httplib::Response& res) {
    res.status = 307;
    res.set_header("Location", "/new");
  });
  local.server().Post("/new", [&](const httplib::Request& req, httplib::Response& res) {
    seen_body = req.body;
    seen_type = req.get_header_value("Content-Type");
    res.set_content("ok", "text/plain");
  });
  local.start();
  Request request{.method = "POST", .url = local.base_url() + "/old"};
  request.json_body(Json{{"站点", "US"}, {"n", 1}});
  Response response = send(request);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "ok");
  EXPECT_EQ(seen_body, R"({"站点":"US","n":1})");
  EXPECT_EQ(seen_type, "application/json");
  EXPECT_EQ(response.url, local.base_url() + "/new");
}

TEST(HttpClient, MultipartKeepsFieldOrderAndStreamsTheFile) {
  TempDir dir;
  std::string content(3 * 1024 * 1024 + 7, 'x');
  content[0] = '\0';
  testing::write_file(dir / "report.xlsx", content);
  LocalServer local;
  // Parts in the order they arrived, as read from the wire.
  std::vector<httplib::MultipartFormData> parts;
  local.server().Post("/upload", [&](const httplib::Request&, httplib::Response& res,
                                     const httplib::ContentReader& read) {
    read(
        [&](const httplib::MultipartFormData& header) {
          parts.push_back(header);
          return true;
        },
        [&](const char* data, std::size_t size) {
          parts.back().content.append(data, size);
          return true;
        });
    res.set_content("{}", "application/json");
  });
  local.start();
  Request request{.method = "POST",
                  .url = local.base_url() + "/upload",
                  .parts = {{.name = "folder", .value = "uploads"},
                            {.name = "purpose", .value = "选品报告"},
                            {.name = "file",
                             .file = dir / "report.xlsx",
                             .content_type = "application/vnd.ms-excel"}}};
  Response response = send(request);
  EXPECT_EQ(response.status, 200);
  ASSERT_EQ(parts.size(), 3u);
  EXPECT_EQ(parts[0].name, "folder");
  EXPECT_EQ(parts[0].content, "uploads");
  EXPECT_EQ(parts[1].name, "purpose");
  EXPECT_EQ(parts[1].content, "选品报告");
  EXPECT_EQ(parts[2].name, "file");
  EXPECT_EQ(parts[2].filename, "report.xlsx");
  EXPECT_EQ(parts[2].content_type, "application/vnd.ms-excel");
  EXPECT_EQ(parts[2].content, content);
}

TEST(HttpClient, MissingUploadFileIsATransportError) {
  TempDir dir;
  Request request{.method = "POST",
                  .url = "http://127.0.0.1:9/",
                  .parts = {{.name = "file", .file = dir / "gone.csv"}}};
  EXPECT_THROW(send(request), TransportError);
}

TEST(HttpClient, ServerThatNeverAnswersHitsTheTimeout) {
  RawListener silent(false);
  auto started = std::chrono::steady_clock::now();
  try {
    send(Request{.url = silent.url("/x?token=s3cret"), .timeout = std::chrono::milliseconds(400)});
    FAIL() << "no timeout";
  } catch (const TimeoutError& e) {
    std::string message = e.what();
    EXPECT_NE(message.find("超时"), std::string::npos) << message;
    EXPECT_EQ(message.find("s3cret"), std::string::npos) << "query leaked: " << message;
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

TEST(HttpClient, ClosedConnectionAndRefusedPortAreTransportErrors) {
  RawListener closer(true);
  EXPECT_THROW(send(Request{.url = closer.url("/x"), .timeout = std::chrono::seconds(5)}),
               TransportError);
  int port = testing::refused_port();
  try {
    send(Request{.url = "http://127.0.0.1:" + std::to_string(port) + "/"});
    FAIL() << "no error";
  } catch (const TimeoutError&) {
    FAIL() << "a refused connection is not a timeout";
  } catch (const TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("网络请求失败"), std::string::npos);
    EXPECT_EQ(e.code(), "HTTP_TRANSPORT_ERROR");
  }
}

TEST(HttpClient, RedactUrlDropsQueryAndFragment) {
  EXPECT_EQ(redact_url("https://h/p?token=x#f"), "https://h/p");
  EXPECT_EQ(redact_url("https://h/p"), "https://h/p");
}

}  // namespace
}  // namespace vendro::http
