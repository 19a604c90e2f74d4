// Request and response events of fetch and XHR traffic, their bodies, and waits for them.

#include <algorithm>
#include <chrono>

#include "browser/browser_fixture.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/core/text.hpp"

namespace vendro::testing {
namespace {

using namespace std::chrono_literals;
using browser::Request;
using browser::Response;
using browser::ResponseBodyError;

// About 4 MB of JSON rows.
const std::string& large_body() {
  static const std::string body = [] {
    std::string text = "{\"rows\": [";
    for (int i = 0; i < 60000; ++i) {
      if (i) text += ",";
      text += "{\"id\": " + std::to_string(i) + ", \"keyword\": \"关键词 keyword " +
              std::to_string(i) + "\", \"v\": " + std::to_string(i * 7) + "}";
    }
    return text + "]}";
  }();
  return body;
}

class NetworkTest : public BrowserTest {
 protected:
  void SetUp() override {
    BrowserTest::SetUp();
    auto& s = server_.server();
    s.Get("/app", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<html><body>app</body></html>", "text/html");
    });
    s.Get("/api/data", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"({"items": [1, 2, 3], "名": "值"})", "application/json");
    });
    // JSON served as text/plain: json() does not care about the content type.
    s.Get("/api/plain-json", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(R"([true, null])", "text/plain");
    });
    s.Get("/api/html", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<html>not json</html>", "text/html");
    });
    s.Post("/api/echo", [](const httplib::Request& req, httplib::Response& res) {
      res.set_content(Json{{"received", req.body}}.dump(), "application/json");
    });
    s.Get("/api/cookies", [](const httplib::Request&, httplib::Response& res) {
      res.headers.emplace("X-Multi", "one");
      res.headers.emplace("X-Multi", "two");
      res.set_content("{}", "application/json");
    });
    s.Get("/api/old", [](const httplib::Request&, httplib::Response& res) {
      res.set_redirect("/api/data", 302);
    });
    s.Get("/api/slow", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(300ms);
      res.set_content(R"({"slow": true})", "application/json");
    });
    s.Get("/api/large", [](const httplib::Request&, httplib::Response& res) {
      // Not a compressible type: the test server would spend seconds on brotli.
      res.set_content(large_body(), "application/octet-stream");
    });
    server_.start();
    run(page_->goto_url(server_.base_url() + "/app"));
  }

  Json fetch_in_page(const std::string& script) { return run(page_->evaluate(script)); }
};

TEST_F(NetworkTest, ResponseEventsCarryStatusHeadersAndJsonBodies) {
  std::vector<Json> seen;
  auto id = page_->on_response([&](std::shared_ptr<Response> response) -> asio::awaitable<void> {
    if (response->url().find("/api/") == std::string::npos) co_return;
    Json entry = {{"url", response->url()}, {"status", response->status()}};
    try {
      entry["payload"] = co_await response->json();
    } catch (const ResponseBodyError& e) {
      entry["error"] = e.what();
    }
    seen.push_back(entry);
  });
  fetch_in_page("fetch('/api/data').then(r => r.text())");
  fetch_in_page(R"(new Promise(done => {
      const x = new XMLHttpRequest();
      x.open('GET', '/api/plain-json');
      x.onload = () => done(x.responseText);
      x.send();
    }))");
  fetch_in_page("fetch('/api/html').then(r => r.text())");
  run(page_->wait_for_timeout(200));
  page_->remove_listener(id);

  ASSERT_EQ(seen.size(), 3u) << Json(seen).dump();
  EXPECT_EQ(seen[0]["payload"], Json::parse(R"({"items": [1, 2, 3], "名": "值"})"));
  EXPECT_EQ(seen[0]["status"], 200);
  EXPECT_EQ(seen[1]["payload"], Json::parse("[true, null]"));
  EXPECT_NE(seen[2]["error"].get<std::string>().find("不是 JSON"), std::string::npos);
  EXPECT_NE(seen[2]["error"].get<std::string>().find("/api/html"), std::string::npos);
}

TEST_F(NetworkTest, RedirectsGiveAResponseWithoutBodyThenTheFinalOne) {
  std::vector<std::shared_ptr<Response>> responses;
  page_->on_response([&](std::shared_ptr<Response> response) -> asio::awaitable<void> {
    if (response->url().find("/api/") != std::string::npos) responses.push_back(response);
    co_return;
  });
  fetch_in_page("fetch('/api/old').then(r => r.text())");
  run(page_->wait_for_timeout(100));
  ASSERT_EQ(responses.size(), 2u);
  EXPECT_EQ(responses[0]->status(), 302);
  EXPECT_TRUE(responses[0]->url().ends_with("/api/old"));
  try {
    run(responses[0]->json());
    FAIL() << "a redirect has no body";
  } catch (const ResponseBodyError& e) {
    EXPECT_NE(std::string(e.what()).find("重定向"), std::string::npos) << e.what();
  }
  EXPECT_EQ(responses[1]->status(), 200);
  EXPECT_EQ(run(responses[1]->json())["items"], Json({1, 2, 3}));
  ASSERT_TRUE(responses[1]->request()->redirected_from());
  EXPECT_TRUE(responses[1]->request()->redirected_from()->url().ends_with("/api/old"));
}

TEST_F(NetworkTest, RequestEventsCarryMethodHeadersAndPostBodies) {
  std::vector<std::shared_ptr<Request>> requests;
  page_->on_request([&](std::shared_ptr<Request> request) -> asio::awaitable<void> {
    if (request->url().find("/api/echo") != std::string::npos) requests.push_back(request);
    co_return;
  });
  // A small body, and one far larger than what the event carries inline.
  const std::string big(3 * 1024 * 1024, 'x');
  Json answer = fetch_in_page(R"(fetch('/api/echo', {method: 'POST',
      headers: {'Content-Type': 'application/json', 'X-Seed': 'abc'},
      body: JSON.stringify({q: '问题'})}).then(r => r.json()))");
  EXPECT_EQ(answer["received"], R"({"q":"问题"})");
  fetch_in_page(
      "fetch('/api/echo', {method: 'POST', body: 'x'.repeat(3 * 1024 * 1024)})"
      ".then(r => r.text())");
  run(page_->wait_for_timeout(100));
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]->method(), "POST");
  EXPECT_EQ(requests[0]->post_data(), R"({"q":"问题"})");
  // Looked up by lower-case name, as callers do; the lines keep the page's spelling.
  EXPECT_EQ(requests[0]->headers().value("x-seed", ""), "abc");
  EXPECT_EQ(requests[0]->headers().value("content-type", ""), "application/json");
  EXPECT_FALSE(requests[0]->headers().contains("X-Seed"));
  const auto& lines = requests[0]->headers_array();
  EXPECT_NE(std::find(lines.begin(), lines.end(), browser::Header{"X-Seed", "abc"}), lines.end());
  ASSERT_TRUE(requests[1]->post_data());
  EXPECT_EQ(requests[1]->post_data()->size(), big.size());
  EXPECT_EQ(*requests[1]->post_data(), big);
}

TEST_F(NetworkTest, ResponseHeaderNamesAreLowerCaseAndRepeatedHeadersJoined) {
  // The wait starts when awaited, so the page fetches a moment later.
  fetch_in_page("setTimeout(() => fetch('/api/cookies'), 100)");
  auto response = run(page_->wait_for_response(
      [](const Response& r) { return r.url().ends_with("/api/cookies"); }, 5000));
  const Json& headers = response->headers();
  EXPECT_EQ(headers.value("content-type", ""), "application/json");
  EXPECT_EQ(headers.value("x-multi", ""), "one, two");
  for (const auto& [name, value] : headers.items()) {
    EXPECT_EQ(name, text::to_lower(name));
  }
  // The lines keep the server's spelling.
  bool spelled_as_sent = false;
  for (const auto& line : response->headers_array()) spelled_as_sent |= line.name == "X-Multi";
  EXPECT_TRUE(spelled_as_sent);
}

TEST_F(NetworkTest, LargeJsonBodyIsCapturedWhole) {
  // The wait starts when awaited, so the page fetches a moment later.
  fetch_in_page("setTimeout(() => fetch('/api/large').then(r => r.text()), 50)");
  auto large = run(page_->wait_for_response(
      [](const Response& r) { return r.url().ends_with("/api/large"); }, 10000));
  const std::string body = run(large->body());
  EXPECT_GT(body.size(), 3u * 1024 * 1024);
  Json payload = run(large->json());
  ASSERT_EQ(payload["rows"].size(), 60000u);
  EXPECT_EQ(payload["rows"][59999]["keyword"], "关键词 keyword 59999");
}

TEST_F(NetworkTest, WaitForEventFiltersAndTimesOut) {
  auto waiting =
      page_->wait_for_request([](const Request& r) { return r.method() == "POST"; }, 5000);
  // Starts only when awaited; the page fires a GET first and the POST later.
  fetch_in_page(
      "setTimeout(() => { fetch('/api/data'); fetch('/api/echo', {method: 'POST', body: 'b'}); "
      "}, 100)");
  auto request = run(std::move(waiting));
  EXPECT_TRUE(request->url().ends_with("/api/echo"));
  EXPECT_EQ(request->post_data(), "b");

  auto start = std::chrono::steady_clock::now();
  try {
    run(page_->wait_for_request([](const Request& r) { return r.url().ends_with("/never"); }, 300));
    FAIL();
  } catch (const browser::TimeoutError& e) {
    EXPECT_NE(std::string(e.what()).find("300ms"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("request"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST_F(NetworkTest, HandlersRunConcurrentlyAndNoneStartsAfterRemoval) {
  // Two slow responses: both handlers wait for their bodies at the same time.
  std::vector<std::string> order;
  auto id = page_->on_response([&](std::shared_ptr<Response> response) -> asio::awaitable<void> {
    if (!response->url().ends_with("/api/slow") && !response->url().ends_with("/api/data")) {
      co_return;
    }
    order.push_back("start " + response->url().substr(response->url().rfind('/')));
    co_await response->body();
    order.push_back("end " + response->url().substr(response->url().rfind('/')));
  });
  fetch_in_page("Promise.all([fetch('/api/slow'), fetch('/api/data')])");
  run(page_->wait_for_timeout(50));
  page_->remove_listener(id);
  fetch_in_page("fetch('/api/data')");
  run(page_->wait_for_timeout(100));
  // No third "start": the listener was removed before the last response arrived.
  EXPECT_EQ(std::count_if(order.begin(), order.end(),
                          [](const std::string& s) { return s.starts_with("start"); }),
            2)
      << Json(order).dump();
}

TEST_F(NetworkTest, BodyOfAResponseWhosePageWentAwayFailsClearly) {
  fetch_in_page("setTimeout(() => fetch('/api/slow'), 50)");
  auto response = run(page_->wait_for_response(
      [](const Response& r) { return r.url().ends_with("/api/slow"); }, 5000));
  run(page_->close());
  EXPECT_THROW(run(response->body()), browser::BrowserError);
}

}  // namespace
}  // namespace vendro::testing
