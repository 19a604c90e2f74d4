// The Rufus stand-in as the capture and the replay meet it: real headless Chromium reaching
// https://www.amazon.com through the site's switches, the page's own streaming POST, answers
// fetched from inside the page. The control URLs and refusals are checked over TLS directly.

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <memory>
#include <optional>
#include <sstream>

#include "rufus_site.hpp"
#include "support/temp_dir.hpp"
#include "vendro/browser/blocking.hpp"
#include "vendro/browser/executable.hpp"

namespace vendro::testing {
namespace {

using namespace vendro::browser;
using Clock = std::chrono::steady_clock;

constexpr const char* PRODUCT = "https://www.amazon.com/dp/B0TEST0001";
constexpr const char* SESSION = "131-0000000-1234567";

bool is_streaming(const Request& request) {
  return request.url().find("/rufus/cl/streaming") != std::string::npos;
}

// Fetches `url` from inside the page the way a replay does, reading the streamed body.
constexpr const char* FETCH_SCRIPT = R"(async ({url, headers, body, credentials}) => {
  const response = await fetch(url, {method: 'POST', headers, credentials,
                                     body: JSON.stringify(body)});
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let text = '', reads = 0;
  for (;;) {
    const {value, done} = await reader.read();
    if (done) break;
    reads++;
    text += decoder.decode(value, {stream: true});
  }
  return {status: response.status, type: response.headers.get('content-type'), text, reads};
})";

struct Answer {
  std::string text;                      // the TEXT records joined
  std::optional<std::string> thread_id;  // from any record that carries one
  int records = 0;
};

// Reads lines of JSON, or "data: " events.
Answer parse_answer(const std::string& raw) {
  Answer answer;
  std::istringstream lines(raw);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("data: ", 0) == 0) line.erase(0, 6);
    if (line.empty()) continue;
    Json record = Json::parse(line);
    ++answer.records;
    if (record.value("type", "") == "TEXT") answer.text += record["text"].get<std::string>();
    if (record.contains("threadId")) answer.thread_id = record["threadId"].get<std::string>();
  }
  return answer;
}

class RufusStandInTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!try_find_executable()) return;
    site_ = std::make_unique<RufusSite>();
    site_->start();
    ScopedEnv args("VENDRO_CHROMIUM_ARGS", site_->chromium_args());
    driver_ = std::make_unique<blocking::Driver>();
    browser_.emplace(driver_->launch({.args = {"--disable-dev-shm-usage", "--disable-gpu"}}));
  }
  static void TearDownTestSuite() {
    if (browser_) browser_->close();
    browser_.reset();
    driver_.reset();
    site_.reset();
  }
  void SetUp() override {
    if (!browser_) GTEST_SKIP() << "no Chromium executable";
    site_->reset();
  }
  void TearDown() override {
    for (blocking::BrowserContext& context : contexts_) context.close();
  }

  // A page in a new context, signed in for www.amazon.com when `signed_in`.
  blocking::Page new_page(bool signed_in) {
    blocking::BrowserContext& context = contexts_.emplace_back(browser_->new_context());
    if (signed_in) {
      Json cookies = Json::array();
      for (auto [name, value] : {std::pair{"session-id", SESSION},
                                 {"at-main", "Atza|test-token"},
                                 {"ubid-main", "130-0000000-7654321"}}) {
        cookies.push_back({{"name", name},
                           {"value", value},
                           {"domain", "www.amazon.com"},
                           {"path", "/"},
                           {"secure", true}});
      }
      context.add_cookies(cookies);
    }
    return context.new_page();
  }

  // Every request of `page` under /rufus/cl/ from now on, with the time it was seen. Recorded by a
  // listener, so that none slips by between two blocking calls.
  using Sent = std::vector<std::pair<std::shared_ptr<Request>, Clock::time_point>>;
  static std::shared_ptr<Sent> watch(blocking::Page& page) {
    auto sent = std::make_shared<Sent>();
    page.on_request([sent](std::shared_ptr<Request> request) {
      if (request->url().find("/rufus/cl/") != std::string::npos) {
        sent->emplace_back(std::move(request), Clock::now());
      }
    });
    return sent;
  }

  // Lets the page's events run until `done()` holds or `ms` have passed; returns `done()`.
  template <class Done>
  static bool settle(blocking::Page& page, Done done, int ms = 5000) {
    for (auto end = Clock::now() + std::chrono::milliseconds(ms); !done() && Clock::now() < end;) {
      page.wait_for_timeout(20);
    }
    return done();
  }

  static int streaming_count(const Sent& sent) {
    int count = 0;
    for (const auto& [request, at] : sent) count += is_streaming(*request);
    return count;
  }

  // Opens the product page signed in and returns the page's own streaming request.
  std::shared_ptr<Request> open_and_capture(blocking::Page& page) {
    auto sent = watch(page);
    page.goto_url(PRODUCT, {.wait_until = LoadState::domcontentloaded});
    EXPECT_TRUE(settle(page, [&] { return !sent->empty(); })) << "the page sent nothing";
    return sent->empty() ? nullptr : sent->front().first;
  }

  // POSTs a replay of `seed` with `question` in thread `thread_id` from inside the page.
  Json replay(blocking::Page& page, const Request& seed, const std::string& question,
              const Json& thread_id, const std::string& token, bool with_cookies = true) {
    Json body = Json::parse(seed.post_data().value_or("{}"));
    body["queryContext"]["query"] = question;
    body["historyThreadContext"] = {{"threadId", thread_id},
                                    {"threadState", "THREAD_STATE_UNKNOWN"}};
    Json headers = {{"anti-csrftoken-a2z", token},
                    {"content-type", "application/json"},
                    {"x-amz-is-papyrus", "false"}};
    return page.evaluate(FETCH_SCRIPT,
                         Json{{"url", seed.url()},
                              {"headers", headers},
                              {"body", body},
                              {"credentials", with_cookies ? "same-origin" : "omit"}});
  }

  std::vector<blocking::BrowserContext> contexts_;
  static inline std::unique_ptr<RufusSite> site_;
  static inline std::unique_ptr<blocking::Driver> driver_;
  static inline std::optional<blocking::Browser> browser_;
};

TEST_F(RufusStandInTest, SignedInPageSendsOneStreamingPostWithTokenAndRealisticBody) {
  blocking::Page page = new_page(true);
  auto sent = watch(page);
  auto seed = open_and_capture(page);
  ASSERT_TRUE(seed);

  EXPECT_EQ(page.url(), PRODUCT);
  EXPECT_NE(page.evaluate("document.title").get<std::string>().find("B0TEST0001"),
            std::string::npos);
  EXPECT_EQ(seed->method(), "POST");
  const std::string& url = seed->url();
  EXPECT_EQ(url.rfind("https://www.amazon.com/rufus/cl/streaming?tabId=", 0), 0u) << url;
  EXPECT_NE(url.find("&programId=NILE_CLASSIC:desktop-cl&ref=nl_cl_dsk_csq"), std::string::npos);
  EXPECT_EQ(seed->headers().value("anti-csrftoken-a2z", ""), site_->csrf_token(SESSION));
  EXPECT_EQ(seed->headers().value("content-type", ""), "application/json");
  EXPECT_EQ(seed->headers().value("x-amz-is-papyrus", ""), "false");

  Json body = Json::parse(seed->post_data().value_or("null"));
  EXPECT_EQ(body["pageContext"]["pageType"], "DETAIL_PAGE");
  EXPECT_EQ(body["pageContext"]["pageMetadata"],
            Json::parse(R"([{"type": "ASIN", "value": "B0TEST0001"}])"));
  EXPECT_EQ(body["historyThreadContext"],
            Json::parse(R"({"threadId": null, "threadState": "THREAD_STATE_NEW"})"));
  EXPECT_TRUE(body["queryContext"].is_object());
  EXPECT_TRUE(body["bottomSheetContext"].is_object());
  std::string tab_id = url.substr(url.find("tabId=") + 6);
  tab_id = tab_id.substr(0, tab_id.find('&'));
  EXPECT_EQ(body["tabId"], tab_id);

  // The page reads its streamed answer into the panel; nothing else is sent meanwhile.
  page.locator("#rufus-answer:has-text('你好！我是 Rufus')").wait_for({.timeout_ms = 5000});
  EXPECT_EQ(streaming_count(*sent), 1);
  RufusSiteStats stats = site_->stats();
  EXPECT_EQ(stats.page_hits, 1);
  EXPECT_EQ(stats.signed_in_page_hits, 1);
  ASSERT_EQ(stats.streaming.size(), 1u);
  EXPECT_EQ(stats.streaming[0].status, 200);
  EXPECT_EQ(stats.streaming[0].cookie_names,
            (std::vector<std::string>{"session-id", "at-main", "ubid-main"}));

  // http:// is upgraded before it is sent (HSTS preload), and other marketplaces map as well.
  blocking::Page other = new_page(false);
  other.goto_url("http://www.amazon.co.uk/dp/B0TEST0002");
  EXPECT_EQ(other.url(), "https://www.amazon.co.uk/dp/B0TEST0002");
  EXPECT_NE(other.content().find("Amazon.co.uk"), std::string::npos);
}

TEST_F(RufusStandInTest, OnlyASignedInPageSendsAndTheModesMoveDelayOrDropThePost) {
  blocking::Page signed_out = new_page(false);
  auto sent = watch(signed_out);
  signed_out.goto_url(PRODUCT);
  signed_out.wait_for_timeout(500);
  EXPECT_TRUE(sent->empty());
  EXPECT_EQ(signed_out.evaluate("document.getElementById('rufus-state').textContent")
                .get<std::string>()
                .find("csrfToken"),
            std::string::npos);

  site_->set_mode("send", "none");
  blocking::Page silent = new_page(true);
  sent = watch(silent);
  silent.goto_url(PRODUCT);
  silent.wait_for_timeout(500);
  EXPECT_TRUE(sent->empty());

  site_->set_mode("send", "decoy");
  blocking::Page decoy = new_page(true);
  sent = watch(decoy);
  decoy.goto_url(PRODUCT);
  ASSERT_TRUE(settle(decoy, [&] { return !sent->empty(); }));
  decoy.wait_for_timeout(300);
  EXPECT_EQ(sent->size(), 1u);
  EXPECT_NE(sent->front().first->url().find("/rufus/cl/stream-config?"), std::string::npos);
  EXPECT_EQ(streaming_count(*sent), 0);

  site_->set_mode("send", "late");
  site_->set_mode("late_ms", "1500");
  blocking::Page late = new_page(true);
  sent = watch(late);
  late.goto_url(PRODUCT);
  auto loaded = Clock::now();
  EXPECT_FALSE(settle(
      late, [&] { return !sent->empty(); }, 1000));
  // The site may count the POST before the page reports its request event: wait for both.
  ASSERT_TRUE(settle(
      late, [&] { return !sent->empty() && site_->stats().streaming_total == 1; }, 3000));
  EXPECT_GE(sent->front().second - loaded, std::chrono::milliseconds(1400));

  RufusSiteStats stats = site_->stats();
  EXPECT_EQ(stats.page_hits, 4);
  EXPECT_EQ(stats.signed_in_page_hits, 3);
  EXPECT_EQ(stats.decoy_posts, 1);
}

TEST_F(RufusStandInTest, AnswersFetchedFromThePageStreamTextAndKeepTheThread) {
  blocking::Page page = new_page(true);
  auto seed = open_and_capture(page);
  ASSERT_TRUE(seed);
  const std::string token = site_->csrf_token(SESSION);
  site_->set_mode("chunk_pause_ms", "80");

  Json first = replay(page, *seed, "能防水吗", nullptr, token);
  EXPECT_EQ(first["status"], 200);
  EXPECT_EQ(first["type"], "application/x-ndjson; charset=utf-8");
  EXPECT_GE(first["reads"].get<int>(), 3) << "the answer came in one piece";
  Answer a1 = parse_answer(first["text"]);
  EXPECT_EQ(a1.text.rfind("关于「能防水吗」：", 0), 0u) << a1.text;
  ASSERT_TRUE(a1.thread_id);

  Answer a2 = parse_answer(replay(page, *seed, "保温多久", *a1.thread_id, token)["text"]);
  EXPECT_EQ(a2.thread_id, a1.thread_id);
  EXPECT_NE(a2.text.find("保温多久"), std::string::npos);

  // The second of three answers carries no thread id; SSE framing carries the same records.
  site_->set_mode("no_thread_id_calls", "2");
  site_->set_mode("framing", "sse");
  Json sse = replay(page, *seed, "一", *a1.thread_id, token);
  EXPECT_EQ(sse["type"], "text/event-stream; charset=utf-8");
  EXPECT_EQ(sse["text"].get<std::string>().rfind("data: {", 0), 0u);
  EXPECT_EQ(parse_answer(sse["text"]).thread_id, a1.thread_id);
  Answer without = parse_answer(replay(page, *seed, "二", *a1.thread_id, token)["text"]);
  EXPECT_FALSE(without.thread_id);
  EXPECT_EQ(without.records, a1.records) << "the METADATA, TEXT and END records still come";
  EXPECT_EQ(parse_answer(replay(page, *seed, "三", *a1.thread_id, token)["text"]).thread_id,
            a1.thread_id);

  // Refused: a wrong token, and the right one without the cookies.
  Json refused = replay(page, *seed, "四", nullptr, "wrong-token");
  EXPECT_EQ(refused["status"], 403);
  EXPECT_NE(refused["text"].get<std::string>().find("<html"), std::string::npos);
  EXPECT_EQ(replay(page, *seed, "五", nullptr, token, false)["status"], 403);

  // What each POST carried, in order: the page's own, then the replays.
  std::vector<RufusStreamingPost> posts = site_->stats().streaming;
  ASSERT_EQ(posts.size(), 8u);
  EXPECT_EQ(posts[0].question, "");
  EXPECT_EQ(posts[1].question, "能防水吗");
  EXPECT_EQ(posts[1].thread_id, nullptr);
  EXPECT_EQ(posts[2].thread_id, *a1.thread_id);
  EXPECT_EQ(posts[4].answered_thread_id, nullptr);
  EXPECT_EQ(posts[6].status, 403);
  EXPECT_EQ(posts[6].headers["anti-csrftoken-a2z"], "wrong-token");
  EXPECT_EQ(posts[7].cookie_names, std::vector<std::string>());
  EXPECT_EQ(posts[1].headers["x-amz-is-papyrus"], "false");
  EXPECT_EQ(posts[1].query_string, seed->url().substr(seed->url().find('?') + 1));
}

TEST_F(RufusStandInTest, SlowAndFailingPages) {
  site_->set_mode("slow_page_ms", "1200");
  blocking::Page page = new_page(true);
  auto start = Clock::now();
  page.goto_url(PRODUCT, {.wait_until = LoadState::domcontentloaded});
  EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(1200));

  site_->set_mode("slow_page_ms", "0");
  site_->set_mode("failing_page", "503");
  page.goto_url(PRODUCT);
  EXPECT_EQ(page.evaluate("document.title"), "503 - Amazon");

  site_->set_mode("failing_page", "close");
  EXPECT_THROW(page.goto_url("https://www.amazon.com/dp/B0TEST0003"), NavigationError);
}

// Without a browser: the control URLs and the streaming endpoint's refusals over TLS.
TEST(RufusSiteControlTest, ModesAllOrNoneRefusalsAndBounds) {
  RufusSite site({.modes = {.send = "late"}});
  site.start();
  httplib::SSLClient client("127.0.0.1", site.port());
  client.enable_server_certificate_verification(false);
  auto get = [&](const std::string& path) {
    auto res = client.Get(path);
    EXPECT_TRUE(res) << path;
    return res ? std::pair(res->status, Json::parse(res->body)) : std::pair(0, Json());
  };
  EXPECT_EQ(get("/__standin/set").second["send"], "late");
  auto [status, modes] = get("/__standin/set?framing=sse&no_thread_id_calls=2,3");
  EXPECT_EQ(status, 200);
  EXPECT_EQ(modes["no_thread_id_calls"], Json::parse("[2, 3]"));
  for (const char* bad : {"colour=red", "send=later", "late_ms=60001", "late_ms=-1",
                          "no_thread_id_calls=0", "no_thread_id=2", "failing_page=500"}) {
    auto [refused, answer] = get(std::string("/__standin/set?framing=ndjson&") + bad);
    EXPECT_EQ(refused, 400) << bad;
    EXPECT_NE(answer["error"].get<std::string>().find(std::string(bad).substr(0, 4)),
              std::string::npos)
        << bad;
  }
  EXPECT_EQ(get("/__standin/set").second["framing"], "sse") << "a refused set changed nothing";
  EXPECT_THROW(site.set_mode("chunk_pause_ms", "5001"), std::invalid_argument);
  EXPECT_EQ(get("/__standin/reset").second["send"], "load");

  // Signed in by cookie and token, a body that is not an object is refused, and one beyond
  // 1 MiB is not read at all.
  httplib::Headers headers = {{"Cookie", "session-id=s-9; at-main=a"},
                              {"anti-csrftoken-a2z", site.csrf_token("s-9")}};
  EXPECT_EQ(client.Post("/rufus/cl/streaming", headers, "[1]", "application/json")->status, 400);
  auto oversized = client.Post("/rufus/cl/streaming", headers, std::string(1024 * 1024 + 1, ' '),
                               "application/json");
  ASSERT_TRUE(oversized);
  EXPECT_EQ(oversized->status, 413);
  headers = {{"Cookie", "session-id=s-9"}, {"anti-csrftoken-a2z", site.csrf_token("s-9")}};
  EXPECT_EQ(client.Post("/rufus/cl/streaming", headers, "{}", "application/json")->status, 403);
  EXPECT_EQ(client.Get("/dp/B0TEST0001")->status, 404) << "not a www.amazon.* host";

  Json stats = get("/__standin/stats").second;
  EXPECT_EQ(stats["streaming_total"], 2) << "the oversized body never reached the handler";
  EXPECT_EQ(stats["streaming"][0]["status"], 400);
  EXPECT_EQ(stats["streaming"][1]["cookie_names"], Json::parse(R"(["session-id"])"));
}

}  // namespace
}  // namespace vendro::testing
