#include "vendro/core/http_client.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

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

TEST(HttpClient, RedactUrlDropsUserInformationQueryAndFragment) {
  EXPECT_EQ(redact_url("https://h/p?token=x#f"), "https://h/p");
  EXPECT_EQ(redact_url("https://h/p"), "https://h/p");
  EXPECT_EQ(redact_url("http://ops:s3cret@h:8080/v1?k=1"), "http://***@h:8080/v1");
  EXPECT_EQ(redact_url("http://a@b:pw@h"), "http://***@h");  // the last @ ends the user part
  EXPECT_EQ(redact_url("ops:s3cret@h/p"), "***@h/p");
  EXPECT_EQ(redact_url("https://h/p@q"), "https://h/p@q");  // an @ in the path is no user
  EXPECT_EQ(redact_url("https://h?x=u@v"), "https://h");
}

// Answers GET /endless with a body that never ends, and GET /big with a declared length.
void serve_large_bodies(LocalServer& local) {
  local.server().Get("/endless", [](const httplib::Request&, httplib::Response& res) {
    res.set_chunked_content_provider("application/json", [](std::size_t, httplib::DataSink& sink) {
      std::string chunk(64 * 1024, '[');
      return sink.write(chunk.data(), chunk.size());
    });
  });
  local.server().Get("/big", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(std::string(300 * 1024, 'x'), "text/plain");
  });
}

TEST(HttpClient, AnswersBeyondTheLimitStopEarly) {
  LocalServer local;
  serve_large_bodies(local);
  local.start();
  TempDir dir;
  auto started = std::chrono::steady_clock::now();
  for (const char* path : {"/endless", "/big"}) {
    for (bool to_file : {false, true}) {
      SCOPED_TRACE(std::string(path) + (to_file ? " to file" : ""));
      Request request{.url = local.base_url() + path + "?token=s3cret",
                      .max_response_bytes = 256 * 1024};
      if (to_file) request.response_file = dir / "answer";
      try {
        send(request);
        ADD_FAILURE() << "no error";
      } catch (const ResponseTooLargeError& e) {
        EXPECT_EQ(e.code(), "HTTP_RESPONSE_TOO_LARGE");
        EXPECT_NE(std::string(e.what()).find("远端答复过大（超过 256 KiB）"), std::string::npos)
            << e.what();
        EXPECT_EQ(std::string(e.what()).find("s3cret"), std::string::npos);
      }
      if (to_file) {
        EXPECT_LE(std::filesystem::file_size(dir / "answer"), 256u * 1024);
      }
    }
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  // Within the limit the body arrives whole, in memory or in the file.
  Request fits{.url = local.base_url() + "/big", .max_response_bytes = 300 * 1024};
  EXPECT_EQ(send(fits).body.size(), 300u * 1024);
  fits.response_file = dir / "answer";
  EXPECT_EQ(send(fits).body, "");
  EXPECT_EQ(std::filesystem::file_size(dir / "answer"), 300u * 1024);
}

// What one server saw of the requests that reached it.
struct Seen {
  std::string method, body, cookie, authorization, api_key, accept;
  int count = 0;
};

void record_into(LocalServer& local, const std::string& path, Seen& seen) {
  auto handler = [&seen](const httplib::Request& req, httplib::Response& res) {
    seen = {req.method,
            req.body + (req.has_file("purpose") ? req.get_file_value("purpose").content : ""),
            req.get_header_value("Cookie"),
            req.get_header_value("Authorization"),
            req.get_header_value("X-MCP-API-Key"),
            req.get_header_value("Accept"),
            seen.count + 1};
    res.set_content("landed", "text/plain");
  };
  local.server().Get(path, handler);
  local.server().Post(path, handler);
}

TEST(HttpClient, RedirectsToAnotherOriginCarryNoCredentialsOrBody) {
  LocalServer other;  // the same host on another port: another origin
  Seen elsewhere;
  record_into(other, "/landing", elsewhere);
  other.start();
  LocalServer origin;
  Seen home;
  record_into(origin, "/landing", home);
  for (int status : {302, 307}) {
    std::string to = other.base_url() + "/landing";
    auto away = [status, to](const httplib::Request&, httplib::Response& res) {
      res.status = status;
      res.set_header("Location", to);
    };
    origin.server().Post("/away" + std::to_string(status), away);
    origin.server().Get("/away" + std::to_string(status), away);
  }
  origin.server().Post("/stay", [](const httplib::Request&, httplib::Response& res) {
    res.status = 308;
    res.set_header("Location", "/landing");
  });
  origin.start();
  auto request = [&](const std::string& method, const std::string& path) {
    Request r{.method = method,
              .url = origin.base_url() + path,
              .headers = {{"Authorization", "Bearer tok"},
                          {"X-MCP-API-Key", "key-1"},
                          {"Accept", "application/json"}},
              .cookies = {{"nimbraUserToken", "sid"}}};
    if (method == "POST") r.parts = {{.name = "purpose", .value = "secret-body"}};
    return r;
  };

  // 302 after a POST becomes a GET without body; the other origin gets no credentials.
  Response response = send(request("POST", "/away302"));
  EXPECT_EQ(response.body, "landed");
  EXPECT_EQ(response.url, other.base_url() + "/landing");
  EXPECT_EQ(elsewhere.count, 1);
  EXPECT_EQ(elsewhere.method, "GET");
  EXPECT_EQ(elsewhere.body, "");
  EXPECT_EQ(elsewhere.cookie, "");
  EXPECT_EQ(elsewhere.authorization, "");
  EXPECT_EQ(elsewhere.api_key, "");
  EXPECT_EQ(elsewhere.accept, "application/json");

  // A GET may follow a 307 elsewhere, stripped the same way.
  send(request("GET", "/away307"));
  EXPECT_EQ(elsewhere.count, 2);
  EXPECT_EQ(elsewhere.cookie, "");
  EXPECT_EQ(elsewhere.api_key, "");

  // 307 would send the body again: not to another origin.
  try {
    send(request("POST", "/away307"));
    ADD_FAILURE() << "followed";
  } catch (const TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("转到了另一个站点"), std::string::npos) << e.what();
  }
  EXPECT_EQ(elsewhere.count, 2);

  // Within the origin, everything follows.
  response = send(request("POST", "/stay"));
  EXPECT_EQ(response.body, "landed");
  EXPECT_EQ(home.method, "POST");
  EXPECT_NE(home.body.find("secret-body"), std::string::npos);
  EXPECT_EQ(home.cookie, "nimbraUserToken=sid");
  EXPECT_EQ(home.authorization, "Bearer tok");
}

TEST(HttpClient, RedirectLoopsEnd) {
  LocalServer local;
  local.server().Get("/loop", [](const httplib::Request&, httplib::Response& res) {
    res.status = 302;
    res.set_header("Location", "/loop");
  });
  local.start();
  try {
    send(Request{.url = local.base_url() + "/loop"});
    FAIL() << "no error";
  } catch (const TransportError& e) {
    EXPECT_NE(std::string(e.what()).find("重定向次数过多"), std::string::npos) << e.what();
  }
}

TEST(HttpClient, StallTimeoutLetsAFlowingTransferRunAndStopsAStalledOne) {
  LocalServer local;
  // Answers an upload with 8 pieces, 200 ms apart: 1.6 s in all, never silent for long.
  local.server().Post("/drip", [](const httplib::Request&, httplib::Response& res) {
    // Not a type the server compresses: compression would hold the pieces back until the end.
    res.set_chunked_content_provider("application/octet-stream",
                                     [](std::size_t offset, httplib::DataSink& sink) {
                                       std::this_thread::sleep_for(std::chrono::milliseconds(200));
                                       if (offset >= 8) {
                                         sink.done();
                                         return true;
                                       }
                                       return sink.write("x", 1);
                                     });
  });
  local.start();
  Request upload{.method = "POST",
                 .url = local.base_url() + "/drip",
                 .parts = {{.name = "purpose", .value = "p"}},
                 .timeout = std::chrono::seconds(1),
                 .stall_timeout = std::chrono::seconds(1)};
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(send(upload).body, std::string(8, 'x'));
  EXPECT_GT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1500));
  // The same transfer under a whole-transfer timeout is cut off.
  Request whole = upload;
  whole.stall_timeout.reset();
  EXPECT_THROW(send(whole), TimeoutError);

  RawListener silent(false);
  upload.url = silent.url("/x");
  started = std::chrono::steady_clock::now();
  try {
    send(upload);
    FAIL() << "no timeout";
  } catch (const TimeoutError& e) {
    EXPECT_NE(std::string(e.what()).find("没有任何进展"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
}

}  // namespace
}  // namespace vendro::http
