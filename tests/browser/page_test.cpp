// Navigation, load states and evaluation against pages served on 127.0.0.1.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

#include "browser/browser_fixture.hpp"
#include "vendro/browser/errors.hpp"

namespace vendro::testing {
namespace {

using namespace std::chrono_literals;
using browser::EvaluationError;
using browser::NavigationError;
using browser::TimeoutError;

// A loopback port with nothing listening on it.
int closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);  // bound, never listening, now closed
  return ntohs(address.sin_port);
}

class PageTest : public BrowserTest {
 protected:
  void SetUp() override {
    BrowserTest::SetUp();
    auto& s = server_.server();
    s.Get("/plain", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(
          "<!DOCTYPE html><html><head><title>t</title></head><body><p id=x>你好</p>"
          "</body></html>",
          "text/html; charset=utf-8");
    });
    // The load event waits for this image, which answers after 800 ms.
    s.Get("/slow-image", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("<html><body>text<img src=/slow.png></body></html>", "text/html");
    });
    s.Get("/slow.png", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(800ms);
      res.set_content("", "image/png");
    });
    // Fetches something every 100 ms forever: never 500 ms without a request in flight.
    s.Get("/polling", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(
          "<html><body><script>setInterval(() => fetch('/tick'), 100);</script></body></html>",
          "text/html");
    });
    s.Get("/tick", [](const httplib::Request&, httplib::Response& res) {
      res.set_content("{}", "application/json");
    });
    // Quiet after one late fetch.
    s.Get("/late-fetch", [](const httplib::Request&, httplib::Response& res) {
      res.set_content(
          "<html><body><script>setTimeout(() => fetch('/tick').then(() => document.title = "
          "'fetched'), 50);</script></body></html>",
          "text/html");
    });
    s.Get("/hang", [](const httplib::Request&, httplib::Response& res) {
      std::this_thread::sleep_for(1s);
      res.set_content("late", "text/html");
    });
    server_.start();
  }
  std::string url(const std::string& path) { return server_.base_url() + path; }
};

TEST_F(PageTest, GotoWaitsForEachLoadState) {
  run(page_->goto_url(url("/plain")));
  EXPECT_EQ(page_->url(), url("/plain"));
  EXPECT_EQ(run(page_->evaluate("document.querySelector('#x').textContent")), "你好");

  // domcontentloaded returns before the slow image; load waits for it.
  auto start = std::chrono::steady_clock::now();
  run(page_->goto_url(url("/slow-image"), {.wait_until = browser::LoadState::domcontentloaded}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 700ms);
  EXPECT_EQ(run(page_->evaluate("document.readyState")), "interactive");
  run(page_->wait_for_load_state(browser::LoadState::load));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 750ms);
  EXPECT_EQ(run(page_->evaluate("document.readyState")), "complete");

  start = std::chrono::steady_clock::now();
  run(page_->goto_url(url("/slow-image"), {.wait_until = browser::LoadState::commit}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 700ms);
}

TEST_F(PageTest, NetworkIdleWaitsForQuietAndTimesOutOnPollingPage) {
  run(page_->goto_url(url("/late-fetch"), {.wait_until = browser::LoadState::networkidle}));
  EXPECT_EQ(run(page_->evaluate("document.title")), "fetched");

  auto start = std::chrono::steady_clock::now();
  try {
    run(page_->goto_url(url("/polling"),
                        {.wait_until = browser::LoadState::networkidle, .timeout_ms = 1500}));
    FAIL() << "a polling page never goes network-idle";
  } catch (const TimeoutError& e) {
    EXPECT_NE(std::string(e.what()).find("1500ms"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("networkidle"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("/polling"), std::string::npos) << e.what();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
  // The page is loaded, just never idle.
  run(page_->wait_for_load_state(browser::LoadState::load, 1000));
  EXPECT_THROW(run(page_->wait_for_load_state(browser::LoadState::networkidle, 700)), TimeoutError);
}

TEST_F(PageTest, GotoFailuresAreClear) {
  EXPECT_THROW(run(page_->goto_url(url("/hang"), {.timeout_ms = 300})), TimeoutError);
  const std::string refused = "http://127.0.0.1:" + std::to_string(closed_port()) + "/nothing";
  try {
    run(page_->goto_url(refused));
    FAIL() << "nothing listens on port 1";
  } catch (const NavigationError& e) {
    EXPECT_NE(std::string(e.what()).find("ERR_CONNECTION_REFUSED"), std::string::npos) << e.what();
  }
  // Text comes in only from the command line and the tool server; it is checked there.
  EXPECT_THROW(browser::parse_load_state("complete"), InputError);
  EXPECT_EQ(browser::parse_load_state("networkidle"), browser::LoadState::networkidle);
}

TEST_F(PageTest, EvaluateReturnsJsonAwaitsPromisesAndReportsErrors) {
  run(page_->goto_url(url("/plain")));
  EXPECT_EQ(run(page_->evaluate("1 + 2")), 3);
  EXPECT_EQ(run(page_->evaluate("({a: [1, 'x', null], b: {c: true}})")),
            Json::parse(R"({"a": [1, "x", null], "b": {"c": true}})"));
  EXPECT_TRUE(run(page_->evaluate("undefined")).is_null());
  EXPECT_EQ(run(page_->evaluate("new Promise(r => setTimeout(() => r('done'), 50))")), "done");
  EXPECT_EQ(
      run(page_->evaluate("async (arg) => arg.n * 2 + arg.s.length", Json{{"n", 20}, {"s", "ab"}})),
      42);
  EXPECT_EQ(run(page_->evaluate("function (x) { return x.map(v => v + 1); }", Json{1, 2})),
            (Json{2, 3}));
  EXPECT_EQ(run(page_->evaluate("x => x", Json("引号 \" 和 \\ 与 \u2028"))),
            "引号 \" 和 \\ 与 \u2028");
  EXPECT_EQ(run(page_->evaluate("(() => 5)()")), 5);  // an expression, not a function

  try {
    run(page_->evaluate("() => { throw new Error('boom here'); }"));
    FAIL();
  } catch (const EvaluationError& e) {
    EXPECT_NE(std::string(e.what()).find("boom here"), std::string::npos) << e.what();
  }
  EXPECT_THROW(run(page_->evaluate("Promise.reject(new TypeError('nope'))")), EvaluationError);
  EXPECT_THROW(run(page_->evaluate("this is not javascript")), EvaluationError);
  EXPECT_THROW(run(page_->evaluate("new Promise(() => {})", std::nullopt, 200)), TimeoutError);
}

TEST_F(PageTest, ContentAndScreenshot) {
  run(page_->goto_url(url("/plain")));
  const std::string html = run(page_->content());
  EXPECT_EQ(html.rfind("<!DOCTYPE html><html>", 0), 0u) << html;
  EXPECT_NE(html.find("<p id=\"x\">你好</p>"), std::string::npos) << html;
  const std::string png = run(page_->screenshot());
  ASSERT_GT(png.size(), 100u);
  EXPECT_EQ(png.substr(1, 3), "PNG");
}

TEST_F(PageTest, WaitForTimeoutLetsHandlersRunAndClosedPageFails) {
  run(page_->goto_url(url("/plain")));
  int requests = 0;
  page_->on_request([&](auto request) -> asio::awaitable<void> {
    if (request->url().ends_with("/tick")) ++requests;
    co_return;
  });
  run(page_->evaluate("fetch('/tick')"));
  run(page_->wait_for_timeout(100));
  EXPECT_EQ(requests, 1);
  run(page_->close());
  EXPECT_TRUE(page_->is_closed());
  EXPECT_THROW(run(page_->evaluate("1")), browser::TargetClosedError);
  EXPECT_THROW(run(page_->goto_url(url("/plain"))), browser::TargetClosedError);
  EXPECT_TRUE(context_->pages().empty());
}

}  // namespace
}  // namespace vendro::testing
