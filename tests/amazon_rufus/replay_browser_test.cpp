// The replay for real: headless Chromium on a local product page POSTs each question to a local
// streaming endpoint, which records what it received.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>

#include "support/local_server.hpp"
#include "support/sockets.hpp"
#include "vendro/amazon_rufus/replay.hpp"

namespace vendro::amazon_rufus {
namespace {

using testing::LocalServer;

struct Received {
  std::string target;
  httplib::Params params;
  httplib::Headers headers;
  Json body;
};

// A product page and a streaming endpoint whose n-th answer is the n-th text given to
// set_answers, sent in small chunks.
class RufusStandIn {
 public:
  RufusStandIn() {
    server_.server().Get("/dp/B0TEST", [](const httplib::Request&, httplib::Response& res) {
      res.set_header("Set-Cookie", "session-id=s-1; Path=/");
      res.set_content("<html><body><h1>商品</h1></body></html>", "text/html; charset=utf-8");
    });
    server_.server().Post(
        "/rufus/cl/streaming", [this](const httplib::Request& req, httplib::Response& res) {
          std::lock_guard lock(mutex_);
          const std::size_t index = received_.size();
          received_.push_back({req.target, req.params, req.headers, Json::parse(req.body)});
          const std::string events = index < answers_.size() ? answers_[index] : "";
          // Sent in small chunks, the way a stream arrives.
          res.set_chunked_content_provider("text/event-stream", [events](std::size_t offset,
                                                                         httplib::DataSink& sink) {
            if (offset < events.size()) {
              sink.write(events.data() + offset, std::min<std::size_t>(7, events.size() - offset));
            } else {
              sink.done();
            }
            return true;
          });
        });
    server_.server().Post("/rufus/cl/down", [](const httplib::Request&, httplib::Response& res) {
      res.status = 503;
      res.set_content("<html><body>Service Unavailable</body></html>", "text/html");
    });
    server_.start();
  }

  void set_answers(std::vector<std::string> answers) {
    std::lock_guard lock(mutex_);
    answers_ = std::move(answers);
  }
  std::string url(const std::string& path) const { return server_.base_url() + path; }
  std::vector<Received> received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  LocalServer server_;
  std::vector<std::string> answers_;
  std::mutex mutex_;
  std::vector<Received> received_;
};

// One browser for the suite (launching costs most of the time), a fresh context per test.
class RufusReplayBrowser : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    driver_ = std::make_unique<browser::blocking::Driver>();
    browser_ = std::make_unique<browser::blocking::Browser>(
        driver_->launch({.args = {"--disable-dev-shm-usage", "--disable-gpu"}}));
  }
  static void TearDownTestSuite() {
    if (browser_) browser_->close();
    browser_.reset();
    driver_.reset();
  }
  RufusReplayBrowser() : context_(browser_->new_context()), page_(context_.new_page()) {}
  // The browser's connections go before the server, which would otherwise wait them out.
  ~RufusReplayBrowser() override { context_.close(); }

  SeedRequestRecord seed_for(const std::string& url) const {
    return {.request_url = url,
            .request_headers = {{"Content-Type", "application/json"},
                                {"Anti-CSRFToken-A2Z", "tok"},
                                {"x-amz-is-papyrus", "false"},
                                {"User-Agent", "seed-agent"},
                                {"X-Seed-Only", "secret"},
                                {"Cookie", "stolen=1"}},
            .request_body =
                R"({"queryContext":{"query":"seed"},)"
                R"("historyThreadContext":{"threadId":"seed-thread","threadState":"ACTIVE"}})",
            .tab_id = "tab-9",
            .asin = "b0test",
            .country = "US"};
  }

  static inline std::unique_ptr<browser::blocking::Driver> driver_;
  static inline std::unique_ptr<browser::blocking::Browser> browser_;
  RufusStandIn stand_in_;
  browser::blocking::BrowserContext context_;
  browser::blocking::Page page_;
  const RufusReplayService service_;
};

TEST_F(RufusReplayBrowser, ThreeQuestionsCarryTheThreadOfTheLastAnswerThatHadOne) {
  stand_in_.set_answers({
      ": hello\n\nevent: message\ndata: {\"text\":\"第一个\",\"threadId\":\"thread-1\"}\n\n"
      "data: {\"text\":\"回答\"}\n\ndata: [DONE]\n\n",
      "data: {\"text\":\"第二个回答\"}\n\n",
      "{\"text\":\"第三个回答\",\"threadId\":\"thread-3\"}\n",
  });
  page_.goto_url(stand_in_.url("/dp/B0TEST"));
  SeedRequestRecord seed = seed_for(stand_in_.url("/rufus/cl/streaming?tabId=old&ref=keep"));

  // No questions: nothing is sent, not even a broken body is looked at.
  SeedRequestRecord broken = seed;
  broken.request_body = "{";
  EXPECT_TRUE(service_.replay_with_page(page_, broken, {}).empty());

  auto answers = service_.replay_with_page(page_, seed, {"问题一", "问题二", "问题三"});
  ASSERT_EQ(answers.size(), 3u);
  EXPECT_EQ(answers[0].text, "第一个回答");
  EXPECT_EQ(answers[0].thread_id, "thread-1");
  EXPECT_EQ(answers[1].text, "第二个回答");
  EXPECT_EQ(answers[1].thread_id, std::nullopt);
  EXPECT_EQ(answers[2].thread_id, "thread-3");

  auto received = stand_in_.received();
  ASSERT_EQ(received.size(), 3u);
  const Json thread_ids[] = {nullptr, "thread-1", "thread-1"};
  const char* questions[] = {"问题一", "问题二", "问题三"};
  for (std::size_t i = 0; i < 3; ++i) {
    const Received& r = received[i];
    SCOPED_TRACE(i);
    EXPECT_EQ(r.body["historyThreadContext"]["threadId"], thread_ids[i]);
    EXPECT_EQ(r.body["historyThreadContext"]["threadState"], "ACTIVE");
    EXPECT_EQ(r.body["queryContext"]["query"], questions[i]);
    EXPECT_EQ(r.body["pageContext"]["pageMetadata"][0]["value"], "B0TEST");
    // The allowlisted seed headers, nothing else of the seed; cookies are the page's own.
    auto header = [&](const char* name) {
      return r.headers.count(name) ? r.headers.find(name)->second : std::string("<none>");
    };
    EXPECT_EQ(header("anti-csrftoken-a2z"), "tok");
    EXPECT_EQ(header("x-amz-is-papyrus"), "false");
    EXPECT_EQ(header("Content-Type"), "application/json");
    EXPECT_EQ(header("X-Seed-Only"), "<none>");
    EXPECT_NE(header("User-Agent"), "seed-agent");
    EXPECT_EQ(header("Cookie"), "session-id=s-1");
    EXPECT_EQ(r.params.find("tabId")->second, "tab-9");
    EXPECT_EQ(r.params.find("ref")->second, "keep");
    EXPECT_EQ(r.params.find("programId")->second, "NILE_CLASSIC:desktop-cl");
    EXPECT_EQ(r.params.size(), 3u);
    EXPECT_NE(r.target.find("programId=NILE_CLASSIC%3Adesktop-cl"), std::string::npos) << r.target;
  }
}

TEST_F(RufusReplayBrowser, ErrorPagesAreAnswersFailedRequestsAreErrors) {
  page_.goto_url(stand_in_.url("/dp/B0TEST"));
  auto answers = service_.replay_with_page(page_, seed_for(stand_in_.url("/rufus/cl/down")), {"Q"});
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].text, "");
  EXPECT_NE(answers[0].raw.find("Service Unavailable"), std::string::npos);

  const std::string nowhere =
      "http://127.0.0.1:" + std::to_string(testing::refused_port()) + "/rufus/cl/streaming";
  EXPECT_THROW(service_.replay_with_page(page_, seed_for(nowhere), {"Q"}),
               browser::EvaluationError);
}

}  // namespace
}  // namespace vendro::amazon_rufus
