// One scenario with our driver: launch a persistent context, open a local page, 100 fills, 100
// clicks that each trigger a JSON fetch captured through the response event with its body read,
// 100 evaluates, close. Prints per-step medians (ms), the wall time and the peak RSS as JSON.
//   driver_bench [--headed]

#include <httplib.h>
#include <sys/resource.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <thread>

#include "vendro/browser/blocking.hpp"
#include "vendro/browser/browser.hpp"
#include "vendro/browser/locator.hpp"

using namespace vendro;
using namespace vendro::browser;
using Ms = std::chrono::duration<double, std::milli>;

namespace {

const char* const PAGE = R"(<!DOCTYPE html><html><body>
<input id="q"><button id="go">查询</button><pre id="out"></pre>
<script>
  let n = 0;
  document.querySelector('#go').addEventListener('click', () =>
    fetch('/api/data?n=' + (++n)).then(r => r.json()).then(j => {
      document.querySelector('#out').textContent = j.n; }));
</script></body></html>)";

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

asio::awaitable<Json> scenario(std::string base, bool headless) {
  Json result = Json::object();
  const auto scratch = std::filesystem::temp_directory_path() / "vendro-bench-profile";
  std::filesystem::remove_all(scratch);
  auto t0 = std::chrono::steady_clock::now();
  PersistentContextOptions options{
      .user_data_dir = scratch, .headless = headless, .viewport = Viewport{1440, 900}};
  auto context = co_await launch_persistent_context(std::move(options));
  auto page = context->pages().front();
  result["launch_ms"] = Ms(std::chrono::steady_clock::now() - t0).count();
  auto t1 = std::chrono::steady_clock::now();
  co_await page->goto_url(base + "/");
  result["goto_ms"] = Ms(std::chrono::steady_clock::now() - t1).count();

  std::vector<double> fills, clicks, clicks_with_body, evaluates;
  auto input = page->locator("#q");
  for (int i = 0; i < 100; ++i) {
    auto s = std::chrono::steady_clock::now();
    co_await input.fill("keyword " + std::to_string(i));
    fills.push_back(Ms(std::chrono::steady_clock::now() - s).count());
  }
  auto button = page->locator("#go");
  for (int i = 0; i < 100; ++i) {
    auto captured = std::make_shared<std::optional<std::chrono::steady_clock::time_point>>();
    auto id = page->on_response([captured](std::shared_ptr<Response> r) -> asio::awaitable<void> {
      if (r->url().find("/api/data") == std::string::npos) co_return;
      co_await r->json();
      *captured = std::chrono::steady_clock::now();
    });
    auto s = std::chrono::steady_clock::now();
    co_await button.click();
    clicks.push_back(Ms(std::chrono::steady_clock::now() - s).count());
    while (!*captured) co_await page->wait_for_timeout(1);
    clicks_with_body.push_back(Ms(**captured - s).count());
    page->remove_listener(id);
  }
  for (int i = 0; i < 100; ++i) {
    auto s = std::chrono::steady_clock::now();
    co_await page->evaluate("(x) => x + 1", Json(i));
    evaluates.push_back(Ms(std::chrono::steady_clock::now() - s).count());
  }
  auto t2 = std::chrono::steady_clock::now();
  co_await context->close();
  result["close_ms"] = Ms(std::chrono::steady_clock::now() - t2).count();
  result["fill_median_ms"] = median(fills);
  result["click_median_ms"] = median(clicks);
  result["click_until_body_median_ms"] = median(clicks_with_body);
  result["evaluate_median_ms"] = median(evaluates);
  std::filesystem::remove_all(scratch);
  co_return result;
}

}  // namespace

int main(int argc, char** argv) {
  const bool headless = !(argc > 1 && std::strcmp(argv[1], "--headed") == 0);
  const auto start = std::chrono::steady_clock::now();
  httplib::Server server;
  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(PAGE, "text/html; charset=utf-8");
  });
  server.Get("/api/data", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("{\"n\": " + req.get_param_value("n") + "}", "application/json");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread thread([&] { server.listen_after_bind(); });
  asio::io_context io;
  Json result = run_blocking(io, scenario("http://127.0.0.1:" + std::to_string(port), headless));
  server.stop();
  thread.join();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  result["wall_ms"] = Ms(std::chrono::steady_clock::now() - start).count();
  result["peak_rss_mb"] = usage.ru_maxrss / 1024.0;
  std::cout << result.dump(2) << "\n";
}
