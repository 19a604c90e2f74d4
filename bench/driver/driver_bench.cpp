// Our driver's half of the driver benchmark (bench/driver/run.sh runs it next to the reference
// driver's reference_scenario.js, on the same browser and the same local page):
//   driver_bench serve                      serves the page on 127.0.0.1, prints its base URL
//   driver_bench scenario URL [--executable PATH] [--headed]
//       launch a persistent context, open URL, 100 fills, 100 clicks that each trigger a JSON
//       fetch captured through the response event with its body read, 100 evaluates, waits for
//       elements the page inserts 100, 300 and 800 ms later, close; prints per-step times (ms)
//       and the process's own peak RSS as JSON
//   driver_bench open URL [--executable PATH]
//       launch a persistent context, open URL, close: the whole-process measurement
//   driver_bench switches [--headed]
//       prints the switches our launches pass, one a line, less the per-launch ones (profile,
//       start page, proxy): chromium_floor.py launches with them
//   driver_bench                            serves the page itself and runs the scenario

#include <httplib.h>
#include <sys/resource.h>

#include <algorithm>
#include <asio/io_context.hpp>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "vendro/browser/blocking.hpp"
#include "vendro/browser/browser.hpp"
#include "vendro/browser/executable.hpp"
#include "vendro/browser/locator.hpp"
#include "vendro/browser/process.hpp"

using namespace vendro;
using namespace vendro::browser;
using Clock = std::chrono::steady_clock;
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

// The wait row: each element appears this long after the evaluate that schedules it starts.
constexpr int WAIT_DELAYS_MS[] = {100, 300, 800};
constexpr int WAIT_REPEATS = 5;
const char* const INSERT_LATER = R"(([id, delay]) => { setTimeout(() => {
  const e = document.createElement('div');
  e.id = id;
  e.textContent = '到了';
  document.body.append(e);
}, delay); })";

struct Arguments {
  std::string mode;
  std::string url;
  std::optional<std::filesystem::path> executable;
  bool headless = true;
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double since(Clock::time_point start) {
  return Ms(Clock::now() - start).count();
}

void serve_page(httplib::Server& server) {
  server.Get("/", [](const httplib::Request&, httplib::Response& res) {
    res.set_content(PAGE, "text/html; charset=utf-8");
  });
  server.Get("/api/data", [](const httplib::Request& req, httplib::Response& res) {
    res.set_content("{\"n\": " + req.get_param_value("n") + "}", "application/json");
  });
}

asio::awaitable<Json> scenario(Arguments args, std::filesystem::path profile) {
  Json result = Json::object();
  auto t0 = Clock::now();
  PersistentContextOptions options{.user_data_dir = profile,
                                   .headless = args.headless,
                                   .viewport = Viewport{1440, 900},
                                   .executable = args.executable};
  auto context = co_await launch_persistent_context(std::move(options));
  auto page = context->pages().front();
  result["launch_ms"] = since(t0);
  auto t1 = Clock::now();
  co_await page->goto_url(args.url + "/");
  result["goto_ms"] = since(t1);
  if (args.mode == "open") {
    auto t2 = Clock::now();
    co_await context->close();
    result["close_ms"] = since(t2);
    co_return result;
  }

  std::vector<double> fills, clicks, clicks_with_body, evaluates;
  auto input = page->locator("#q");
  for (int i = 0; i < 100; ++i) {
    auto s = Clock::now();
    co_await input.fill("keyword " + std::to_string(i));
    fills.push_back(since(s));
  }
  auto button = page->locator("#go");
  for (int i = 0; i < 100; ++i) {
    auto captured = std::make_shared<std::optional<Clock::time_point>>();
    auto id = page->on_response([captured](std::shared_ptr<Response> r) -> asio::awaitable<void> {
      if (r->url().find("/api/data") == std::string::npos) co_return;
      co_await r->json();
      *captured = Clock::now();
    });
    auto s = Clock::now();
    co_await button.click();
    clicks.push_back(since(s));
    while (!*captured) co_await page->wait_for_timeout(1);
    clicks_with_body.push_back(Ms(**captured - s).count());
    page->remove_listener(id);
  }
  for (int i = 0; i < 100; ++i) {
    auto s = Clock::now();
    co_await page->evaluate("(x) => x + 1", Json(i));
    evaluates.push_back(since(s));
  }
  const WaitForOptions visible{.state = ElementState::visible, .timeout_ms = 5000};
  int late = 0;
  for (const int delay : WAIT_DELAYS_MS) {
    std::vector<double> noticed;
    for (int i = 0; i < WAIT_REPEATS; ++i) {
      const std::string id = "late-" + std::to_string(++late);
      const Json insert = Json::array({id, delay});
      auto s = Clock::now();
      co_await page->evaluate(INSERT_LATER, insert);
      co_await page->locator("#" + id).wait_for(visible);
      noticed.push_back(since(s));
    }
    result["wait_" + std::to_string(delay) + "_ms"] = median(noticed);
  }
  auto t2 = Clock::now();
  co_await context->close();
  result["close_ms"] = since(t2);
  result["fill_median_ms"] = median(fills);
  result["click_median_ms"] = median(clicks);
  result["click_until_body_median_ms"] = median(clicks_with_body);
  result["evaluate_median_ms"] = median(evaluates);
  co_return result;
}

Json run_scenario(const Arguments& args) {
  const auto profile = make_scratch_dir();
  asio::io_context io;
  Json result;
  try {
    result = run_blocking(io, scenario(args, profile));
  } catch (...) {
    std::filesystem::remove_all(profile);
    throw;
  }
  std::filesystem::remove_all(profile);
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);  // this process only, not the browser it reaped
  result["peak_rss_mb"] = usage.ru_maxrss / 1024.0;
  return result;
}

// The switches of a launch like ours, for a browser started by hand.
void print_switches(bool headless) {
  for (const auto& s : chromium_switches({.headless = headless, .open_blank_tab = true})) {
    if (s.starts_with("--user-data-dir=") || s.starts_with("--proxy-server=") ||
        s.starts_with("--proxy-bypass-list=") || s == "about:blank") {
      continue;
    }
    std::cout << s << "\n";
  }
}

int usage_error() {
  std::cerr << "用法：driver_bench [serve | scenario URL | open URL | switches] "
               "[--executable PATH] [--headed]\n";
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--headed") {
      args.headless = false;
    } else if (arg == "--executable" && i + 1 < argc) {
      args.executable = argv[++i];
    } else if (arg.starts_with("--")) {
      return usage_error();
    } else {
      positional.push_back(arg);
    }
  }
  args.mode = positional.empty() ? "self" : positional[0];
  try {
    if (args.mode == "serve" && positional.size() == 1) {
      httplib::Server server;
      serve_page(server);
      const int port = server.bind_to_any_port("127.0.0.1");
      std::cout << "http://127.0.0.1:" << port << std::endl;
      server.listen_after_bind();  // until the benchmark script ends this process
      return 0;
    }
    if (args.mode == "switches" && positional.size() == 1) {
      print_switches(args.headless);
      return 0;
    }
    if ((args.mode == "scenario" || args.mode == "open") && positional.size() == 2) {
      args.url = positional[1];
      std::cout << run_scenario(args).dump() << "\n";
      return 0;
    }
    if (args.mode == "self" && positional.empty()) {
      httplib::Server server;
      serve_page(server);
      const int port = server.bind_to_any_port("127.0.0.1");
      std::thread thread([&] { server.listen_after_bind(); });
      args.mode = "scenario";
      args.url = "http://127.0.0.1:" + std::to_string(port);
      Json result;
      try {
        result = run_scenario(args);
      } catch (...) {
        server.stop();
        thread.join();
        throw;
      }
      server.stop();
      thread.join();
      std::cout << result.dump(2) << "\n";
      return 0;
    }
  } catch (const std::exception& e) {
    std::cerr << "driver_bench：" << e.what() << "\n";
    return 1;
  }
  return usage_error();
}
