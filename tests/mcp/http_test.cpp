// The HTTP transport on 127.0.0.1 with a real client: the guards (Host, Origin, key, refusing
// a non-loopback address without a key), sessions, status codes, plain JSON and event-stream
// answers, elicitation across two requests, the X- headers a tool sees, and stopping.

#include <httplib.h>

#include <gtest/gtest.h>

#include <future>
#include <regex>
#include <thread>

#include "mcp/test_provider.hpp"
#include "vendro/mcp/http_guard.hpp"
#include "vendro/mcp/http_transport.hpp"
#include "vendro/mcp/protocol.hpp"

namespace vendro::testing {
namespace {

using namespace std::chrono_literals;
using mcp::HttpOptions;
using mcp::HttpServer;

Json request(const Json& id, const std::string& method, Json params = Json::object()) {
  return {{"jsonrpc", "2.0"}, {"id", id}, {"method", method}, {"params", std::move(params)}};
}

Json initialize_request(const std::string& revision = "2025-11-25",
                        Json capabilities = Json::object()) {
  return request(0, "initialize",
                 {{"protocolVersion", revision},
                  {"capabilities", std::move(capabilities)},
                  {"clientInfo", {{"name", "test"}, {"version", "1"}}}});
}

// The events of a text/event-stream body: each event's data, checking the framing on the way.
std::vector<Json> sse_messages(const std::string& body) {
  std::vector<Json> messages;
  static const std::regex event(R"(event: message\ndata: ([^\n]*)\n\n)");
  std::string rest = body;
  std::smatch match;
  while (!rest.empty()) {
    if (rest.rfind(": keep-alive\n\n", 0) == 0) {
      rest.erase(0, 14);
      continue;
    }
    if (!std::regex_search(rest, match, event, std::regex_constants::match_continuous)) {
      ADD_FAILURE() << "not an event: " << rest.substr(0, 200);
      break;
    }
    messages.push_back(Json::parse(match[1].str()));
    rest = match.suffix();
  }
  return messages;
}

class McpHttpTest : public ::testing::Test {
 protected:
  void start(HttpOptions options = {}) {
    server_ = std::make_unique<HttpServer>(provider_, std::move(options));
    serving_ = std::thread([this] { server_->run(); });
  }
  void TearDown() override {
    if (server_) server_->stop();
    if (serving_.joinable()) serving_.join();
  }

  httplib::Client client() {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_read_timeout(20, 0);
    return client;
  }

  httplib::Result post(const Json& body, httplib::Headers headers = {}) {
    headers.emplace("Accept", "application/json, text/event-stream");
    return client().Post("/mcp", headers, body.dump(), "application/json");
  }

  // A new initialized session's id.
  std::string open_session(const std::string& revision = "2025-11-25",
                           Json capabilities = Json::object()) {
    auto res = post(initialize_request(revision, std::move(capabilities)));
    EXPECT_TRUE(res && res->status == 200);
    std::string id = res ? res->get_header_value("Mcp-Session-Id") : "";
    auto done = post({{"jsonrpc", "2.0"}, {"method", "notifications/initialized"}},
                     {{"Mcp-Session-Id", id}});
    EXPECT_EQ(done ? done->status : 0, 202);
    return id;
  }

  TestProvider provider_;
  std::unique_ptr<HttpServer> server_;
  std::thread serving_;
};

TEST_F(McpHttpTest, HostOriginAndKeyGuardEveryRequest) {
  start({.api_key = "s3cret-key", .allowed_origins = {"https://ops.example.com"}});
  const Json ping = request(1, "ping");
  auto status = [&](httplib::Headers headers) {
    headers.emplace("Accept", "application/json, text/event-stream");
    auto res = client().Post("/mcp", headers, initialize_request().dump(), "application/json");
    return res ? res->status : 0;
  };
  const std::pair<std::string, std::string> key{"Authorization", "Bearer s3cret-key"};
  EXPECT_EQ(status({key}), 200);
  EXPECT_EQ(status({}), 401);
  EXPECT_EQ(status({{"Authorization", "Bearer s3cret-kez"}}), 401);
  EXPECT_EQ(status({{"Authorization", "Bearer s3cret-key2"}}), 401);
  EXPECT_EQ(status({{"Authorization", "Basic s3cret-key"}}), 401);
  EXPECT_EQ(status({key, {"Host", "evil.example.com"}}), 403);
  EXPECT_EQ(status({key, {"Host", "evil.example.com:" + std::to_string(server_->port())}}), 403);
  EXPECT_EQ(status({key, {"Host", "localhost:1234"}}), 200);
  EXPECT_EQ(status({key, {"Host", "[::1]:80"}}), 200);
  EXPECT_EQ(status({key, {"Origin", "http://evil.example.com"}}), 403);
  EXPECT_EQ(status({key, {"Origin", "null"}}), 403);
  EXPECT_EQ(status({key, {"Origin", "http://localhost:3000"}}), 200);
  EXPECT_EQ(status({key, {"Origin", "https://127.0.0.1"}}), 200);
  EXPECT_EQ(status({key, {"Origin", "https://OPS.example.com/"}}), 200);
  EXPECT_EQ(status({key, {"Origin", "https://ops.example.com.evil.io"}}), 403);

  auto refused =
      client().Post("/mcp", {{"Host", "evil.example.com"}}, ping.dump(), "application/json");
  ASSERT_TRUE(refused);
  Json body = Json::parse(refused->body);
  EXPECT_TRUE(body["id"].is_null());
  EXPECT_NE(body["error"]["message"].get<std::string>().find("Host"), std::string::npos);
  auto other_path = client().Get("/other", {key});
  EXPECT_EQ(other_path ? other_path->status : 0, 404);
}

TEST(McpHttpGuardTest, AuthoritiesOriginsAndKeys) {
  EXPECT_EQ(mcp::authority_host("Example.COM:8080"), "example.com");
  EXPECT_EQ(mcp::authority_host("[::1]:80"), "::1");
  EXPECT_EQ(mcp::authority_host("[::1]"), "::1");
  for (const char* bad : {"", ":80", "a:b", "a:99999", "[::1", "[::1]x", "::1"}) {
    EXPECT_FALSE(mcp::authority_host(bad)) << bad;
  }
  EXPECT_TRUE(mcp::is_loopback_host("127.8.9.10"));
  EXPECT_FALSE(mcp::is_loopback_host("128.0.0.1"));
  EXPECT_FALSE(mcp::is_loopback_host("localhost.evil.com"));
  EXPECT_TRUE(mcp::host_allowed("ops-box:8000", "ops-box", {}));
  EXPECT_TRUE(mcp::host_allowed("tools.lan", "0.0.0.0", {"Tools.LAN"}));
  EXPECT_FALSE(mcp::host_allowed("tools.lan", "0.0.0.0", {}));
  EXPECT_FALSE(mcp::origin_allowed("ftp://localhost", {}));
  EXPECT_FALSE(mcp::origin_allowed("http://localhost@evil.com", {}));
  EXPECT_TRUE(mcp::bearer_matches("bearer k", "k"));
  EXPECT_FALSE(mcp::bearer_matches("Bearer ", ""));
}

TEST_F(McpHttpTest, ANonLoopbackAddressNeedsAKey) {
  try {
    HttpServer refused(provider_, {.host = "0.0.0.0"});
    FAIL() << "bound 0.0.0.0 without a key";
  } catch (const mcp::McpServerError& error) {
    EXPECT_NE(std::string(error.what()).find("访问密钥"), std::string::npos);
  }
  EXPECT_THROW(
      { HttpServer empty_key(provider_, HttpOptions{.host = "192.0.2.1", .api_key = ""}); },
      mcp::McpServerError);
}

TEST_F(McpHttpTest, SessionsAreIssuedRequiredCheckedAndEnded) {
  start();
  auto first = post(initialize_request("2025-06-18"));
  ASSERT_TRUE(first);
  EXPECT_EQ(first->status, 200);
  EXPECT_EQ(first->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(Json::parse(first->body)["result"]["protocolVersion"], "2025-06-18");
  const std::string id = first->get_header_value("Mcp-Session-Id");
  EXPECT_TRUE(std::regex_match(id, std::regex("[0-9a-f]{64}"))) << id;
  EXPECT_NE(open_session(), id);

  const Json list = request(1, "tools/list");
  EXPECT_EQ(post(list)->status, 400);
  EXPECT_EQ(post(list, {{"Mcp-Session-Id", "0123"}})->status, 404);
  auto listed = post(list, {{"Mcp-Session-Id", id}, {"MCP-Protocol-Version", "2025-06-18"}});
  EXPECT_EQ(listed->status, 200);
  EXPECT_EQ(Json::parse(listed->body)["result"]["tools"].size(), 16u);
  EXPECT_EQ(post(list, {{"Mcp-Session-Id", id}, {"MCP-Protocol-Version", "1999-01-01"}})->status,
            400);
  // A second initialize in the session is a JSON-RPC error, not a new session.
  auto again = post(initialize_request(), {{"Mcp-Session-Id", id}});
  EXPECT_EQ(Json::parse(again->body)["error"]["code"], -32600);
  EXPECT_FALSE(again->has_header("Mcp-Session-Id"));

  auto malformed =
      client().Post("/mcp", {{"Mcp-Session-Id", id}}, "{\"jsonrpc\":", "application/json");
  EXPECT_EQ(malformed->status, 400);
  EXPECT_EQ(Json::parse(malformed->body)["error"]["code"], -32700);
  EXPECT_EQ(post(list, {{"Mcp-Session-Id", id}})->status, 200);  // the session goes on
  EXPECT_EQ(client().Post("/mcp", {{"Mcp-Session-Id", id}}, list.dump(), "text/plain")->status,
            415);
  EXPECT_EQ(client()
                .Post("/mcp", {{"Mcp-Session-Id", id}, {"Accept", "application/json"}}, list.dump(),
                      "application/json")
                ->status,
            406);
  // A stray response or bad notification is refused with 400 and its error.
  auto bad_notice = post({{"jsonrpc", "1.0"}, {"method", "x"}}, {{"Mcp-Session-Id", id}});
  EXPECT_EQ(bad_notice->status, 400);
  EXPECT_EQ(client().Get("/mcp", {{"Mcp-Session-Id", id}})->status, 405);

  // A body beyond 16 MiB is refused: 413, or the connection cut while the client still writes.
  std::string huge = request(2, "ping", {{"pad", std::string(16 * 1024 * 1024, 'a')}}).dump();
  auto too_large = client().Post("/mcp", {{"Mcp-Session-Id", id}}, huge, "application/json");
  EXPECT_EQ(too_large ? too_large->status : 413, 413);

  auto ended = client().Delete("/mcp", {{"Mcp-Session-Id", id}});
  EXPECT_EQ(ended->status, 200);
  EXPECT_EQ(post(list, {{"Mcp-Session-Id", id}})->status, 404);
  EXPECT_EQ(client().Delete("/mcp", {{"Mcp-Session-Id", id}})->status, 404);
}

TEST_F(McpHttpTest, TheSessionIdleLongestMakesRoomForANewOne) {
  start({.max_sessions = 2});
  const std::string first = open_session();
  const std::string second = open_session();
  const Json ping = request(1, "ping");
  EXPECT_EQ(post(ping, {{"Mcp-Session-Id", first}})->status, 200);  // now the second is older
  const std::string third = open_session();
  EXPECT_EQ(post(ping, {{"Mcp-Session-Id", second}})->status, 404);
  EXPECT_EQ(post(ping, {{"Mcp-Session-Id", first}})->status, 200);
  EXPECT_EQ(post(ping, {{"Mcp-Session-Id", third}})->status, 200);
}

TEST_F(McpHttpTest, ProgressOrALongCallMakesTheAnswerAnEventStreamEndingWithTheResponse) {
  start({.json_answer_wait = 300ms});
  const std::string id = open_session();
  auto res = post(
      request(
          5, "tools/call",
          {{"name", "slow"}, {"arguments", {{"steps", 2}}}, {"_meta", {{"progressToken", "t"}}}}),
      {{"Mcp-Session-Id", id}});
  ASSERT_TRUE(res);
  EXPECT_EQ(res->status, 200);
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/event-stream");
  std::vector<Json> messages = sse_messages(res->body);
  ASSERT_EQ(messages.size(), 3u) << res->body;
  EXPECT_EQ(messages[0]["params"]["progress"], 1);
  EXPECT_EQ(messages[1]["params"]["progress"], 2);
  EXPECT_EQ(messages[2]["id"], 5);
  EXPECT_EQ(messages[2]["result"]["structuredContent"], Json({{"steps", 2}}));

  // Without progress or questions the answer is plain JSON.
  auto plain = post(request(6, "tools/call", {{"name", "slow"}, {"arguments", {{"steps", 2}}}}),
                    {{"Mcp-Session-Id", id}});
  EXPECT_EQ(plain->get_header_value("Content-Type"), "application/json");
  EXPECT_EQ(Json::parse(plain->body)["result"]["content"][0]["text"], "完成 2 步");
  // A call that takes longer than the wait answers in a stream all the same.
  auto slow = post(
      request(7, "tools/call", {{"name", "slow"}, {"arguments", {{"steps", 1}, {"step_ms", 800}}}}),
      {{"Mcp-Session-Id", id}});
  EXPECT_EQ(slow->get_header_value("Content-Type"), "text/event-stream");
  messages = sse_messages(slow->body);
  ASSERT_EQ(messages.size(), 1u) << slow->body;
  EXPECT_EQ(messages[0]["result"]["content"][0]["text"], "完成 1 步");
}

TEST_F(McpHttpTest, AQuestionToTheClientTravelsInTheStreamAndItsAnswerInAnotherPost) {
  start();
  const std::string id = open_session("2025-11-25", {{"elicitation", Json::object()}});
  httplib::Request req;
  req.method = "POST";
  req.path = "/mcp";
  req.headers = {{"Accept", "application/json, text/event-stream"},
                 {"Content-Type", "application/json"},
                 {"Mcp-Session-Id", id}};
  req.body = request(9, "tools/call", {{"name", "ask"}}).dump();
  std::string received;
  int answered_status = 0;
  req.content_receiver = [&](const char* data, size_t size, uint64_t, uint64_t) {
    received.append(data, size);
    if (answered_status == 0 && received.find("elicitation/create") != std::string::npos) {
      Json asked = sse_messages(received).back();
      auto answer =
          post({{"jsonrpc", "2.0"}, {"id", asked["id"]}, {"result", {{"action", "decline"}}}},
               {{"Mcp-Session-Id", id}});
      answered_status = answer ? answer->status : -1;
    }
    return true;
  };
  auto res = client().send(req);
  ASSERT_TRUE(res);
  EXPECT_EQ(res->get_header_value("Content-Type"), "text/event-stream");
  EXPECT_EQ(answered_status, 202);
  std::vector<Json> messages = sse_messages(received);
  ASSERT_EQ(messages.size(), 2u) << received;
  EXPECT_EQ(messages[0]["method"], "elicitation/create");
  EXPECT_EQ(messages[1]["id"], 9);
  EXPECT_EQ(messages[1]["result"]["structuredContent"], Json({{"action", "decline"}}));
}

TEST_F(McpHttpTest, ToolsSeeTheRequestsXHeadersOnly) {
  start();
  const std::string id = open_session();
  auto res = post(request(1, "tools/call", {{"name", "headers"}}), {{"Mcp-Session-Id", id},
                                                                    {"X-Tenant", "店铺 7"},
                                                                    {"x-request-id", "r-1"},
                                                                    {"Xylophone", "no"},
                                                                    {"Cookie", "no"}});
  Json seen = Json::parse(res->body)["result"]["structuredContent"]["headers"];
  EXPECT_EQ(seen.size(), 2u) << seen;
  EXPECT_EQ(seen["X-Tenant"], "店铺 7");
  EXPECT_EQ(seen["x-request-id"], "r-1");
}

TEST_F(McpHttpTest, StopCancelsCallsInFlightAndEndsTheirStreams) {
  start({.shutdown_grace = 5s});
  const std::string id = open_session();
  auto waiting = std::async(std::launch::async, [&] {
    return post(
        request(1, "tools/call", {{"name", "wait_for_cancel"}, {"_meta", {{"progressToken", 1}}}}),
        {{"Mcp-Session-Id", id}});
  });
  for (int i = 0; i < 200 && provider_.calls_running() == 0; ++i) std::this_thread::sleep_for(10ms);
  ASSERT_EQ(provider_.calls_running(), 1);
  const auto start_time = std::chrono::steady_clock::now();
  server_->stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start_time, 4s);
  EXPECT_EQ(provider_.cancellations_seen(), 1);
  EXPECT_EQ(provider_.calls_running(), 0);
  EXPECT_EQ(waiting.wait_for(10s), std::future_status::ready);
}

}  // namespace
}  // namespace vendro::testing
