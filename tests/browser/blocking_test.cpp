// The blocking facade, used the way the Rufus capture uses it: cookies, a product page reached
// by a realistic host name, and the page's own POST request caught with its body and headers.

#include <gtest/gtest.h>

#include "support/local_server.hpp"
#include "support/temp_dir.hpp"
#include "vendro/browser/blocking.hpp"

namespace vendro::testing {
namespace {

using namespace vendro::browser;

TEST(BlockingDriverTest, CapturesThePagesOwnPostRequest) {
  LocalServer server;
  std::string cookie_seen;
  server.server().Get("/dp/B000TEST", [&](const httplib::Request& req, httplib::Response& res) {
    cookie_seen = req.get_header_value("Cookie");
    res.set_content(R"(<html><body><script>
        setTimeout(() => fetch('/rufus/cl/streaming', {method: 'POST',
          headers: {'Content-Type': 'application/json', 'x-amz-rufus': '1'},
          body: JSON.stringify({question: '这个好用吗', tab: 't-1'})}), 100);
        </script></body></html>)",
                    "text/html; charset=utf-8");
  });
  server.server().Post("/rufus/cl/streaming", [](const httplib::Request&, httplib::Response& res) {
    res.set_content("{}", "application/json");
  });
  server.start();
  // Realistic host names reach the stand-in through the operator switches.
  ScopedEnv args("VENDRO_CHROMIUM_ARGS", "--host-resolver-rules=\"MAP www.amazon.test 127.0.0.1:" +
                                             std::to_string(server.port()) + "\"");

  blocking::Driver driver;
  auto browser = driver.launch({.args = {"--disable-dev-shm-usage", "--disable-gpu"}});
  auto context = browser.new_context();
  context.add_cookies(Json::parse(
      R"([{"name": "session-id", "value": "s1", "domain": "www.amazon.test", "path": "/"}])"));
  auto page = context.new_page();
  int seen_by_handler = 0;
  page.on_request([&](std::shared_ptr<Request> request) {
    if (request->url().find("/rufus/") != std::string::npos) ++seen_by_handler;
  });
  page.goto_url("http://www.amazon.test/dp/B000TEST", {.wait_until = LoadState::domcontentloaded});
  EXPECT_EQ(page.url(), "http://www.amazon.test/dp/B000TEST");
  auto request = page.wait_for_request(
      [](const Request& r) { return r.url().find("/rufus/cl/streaming") != std::string::npos; },
      5000);
  EXPECT_EQ(request->method(), "POST");
  EXPECT_EQ(Json::parse(request->post_data().value_or("null")),
            Json::parse(R"({"question": "这个好用吗", "tab": "t-1"})"));
  EXPECT_EQ(request->headers().value("x-amz-rufus", ""), "1");
  EXPECT_EQ(cookie_seen, "session-id=s1");
  page.wait_for_timeout(50);
  EXPECT_EQ(seen_by_handler, 1);

  EXPECT_THROW(page.wait_for_request([](const Request& r) { return r.url() == "never"; }, 200),
               TimeoutError);
  page.close();
  context.close();
  browser.close();
  EXPECT_FALSE(browser.is_connected());
}

TEST(BlockingDriverTest, DrivesAFormAndReadsAStreamedAnswerAsText) {
  LocalServer server;
  server.server().Get("/ask", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(R"(<html><body>
        <input id="question" placeholder="输入问题"><button id="send">发送</button>
        <div id="answers"></div>
        <script>
          document.querySelector('#send').addEventListener('click', () => {
            const q = document.querySelector('#question').value;
            fetch('/stream?q=' + encodeURIComponent(q)).then(r => r.text()).then(t => {
              const p = document.createElement('p');
              p.textContent = '回答：' + q;
              document.querySelector('#answers').append(p);
            });
          });
        </script></body></html>)",
                    "text/html; charset=utf-8");
  });
  // A streamed answer: lines of JSON, not one JSON document.
  server.server().Get("/stream", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("{\"part\": 1}\n{\"part\": 2, \"q\": \"" + req.get_param_value("q") + "\"}\n",
                    "application/x-ndjson");
  });
  server.start();

  blocking::Driver driver;
  auto browser = driver.launch();
  auto page = browser.new_context().new_page();
  page.goto_url(server.base_url() + "/ask", {.wait_until = LoadState::domcontentloaded});
  page.locator("input[placeholder*='问题']").fill("能防水吗");
  std::vector<blocking::Response> streamed;
  page.on_response([&](blocking::Response response) {
    if (response.url().find("/stream") != std::string::npos) streamed.push_back(response);
  });
  page.locator("#send").click();
  page.get_by_text("回答：能防水吗").wait_for({.state = ElementState::visible, .timeout_ms = 5000});
  ASSERT_EQ(streamed.size(), 1u);
  EXPECT_EQ(streamed[0].status(), 200);
  EXPECT_EQ(streamed[0].headers().value("content-type", ""), "application/x-ndjson");
  // Read after the handler returned, not inside it.
  EXPECT_EQ(streamed[0].text(), "{\"part\": 1}\n{\"part\": 2, \"q\": \"能防水吗\"}\n");
  EXPECT_THROW(streamed[0].json(), ResponseBodyError);
  EXPECT_EQ(page.locator("#answers").get_by_text("能防水吗").count(), 1);
  // Anything else of the asynchronous core runs on the same loop.
  EXPECT_EQ(driver.run(page.async_page()->evaluate("document.querySelectorAll('p').length")), 1);
  browser.close();
}

}  // namespace
}  // namespace vendro::testing
