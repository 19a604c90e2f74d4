// The protocol session over serve_stdio and real pipes: lifecycle and revisions, pagination,
// JSON-RPC errors, progress, cancellation, elicitation, concurrent and refused calls, batches and
// the end of input.

#include <gtest/gtest.h>

#include <set>

#include "mcp/stdio_peer.hpp"
#include "mcp/test_provider.hpp"
#include "vendro/core/environment.hpp"

namespace vendro::testing {
namespace {

using namespace std::chrono_literals;

Json notification(const std::string& method, Json params) {
  return {{"jsonrpc", "2.0"}, {"method", method}, {"params", std::move(params)}};
}

int error_code(const Json& answer) {
  return answer.at("error").at("code").get<int>();
}

// The provider's counters once `cancellations` cancelled calls have ended (a cancelled tool
// ends on its own thread, a moment after the notice).
Json stats_after(StdioPeer& peer, int cancellations) {
  Json stats;
  for (int attempt = 0; attempt < 100; ++attempt) {
    Json answer = peer.call("stats-" + std::to_string(attempt), "tools/call", {{"name", "stats"}});
    if (answer.contains("result")) {
      stats = answer["result"]["structuredContent"];
      if (stats["cancellations_seen"] == cancellations && stats["calls_running"] == 0) break;
    }
    std::this_thread::sleep_for(20ms);
  }
  return stats;
}

TEST(McpSessionTest, InitializeNegotiatesTheRevisionAndGuardsTheOtherMethods) {
  TestProvider provider;
  for (std::string revision :
       {"2025-11-25", "2025-06-18", "2025-03-26", "2024-11-05", "2099-01-01"}) {
    StdioPeer peer(provider);
    // ping works at any time; everything else waits for initialize.
    EXPECT_EQ(peer.call(1, "ping")["result"], Json::object());
    EXPECT_EQ(error_code(peer.call(2, "tools/list")), -32600);
    Json result = peer.initialize(revision)["result"];
    EXPECT_EQ(result["protocolVersion"], revision == "2099-01-01" ? "2025-11-25" : revision);
    EXPECT_EQ(result["capabilities"], Json({{"tools", {{"listChanged", false}}}}));
    EXPECT_EQ(result["serverInfo"]["name"], "vendro");
    EXPECT_EQ(result["serverInfo"]["version"], get_version());
    EXPECT_FALSE(result["instructions"].get<std::string>().empty());
    EXPECT_EQ(error_code(peer.call(3, "initialize", {{"protocolVersion", revision}})), -32600);
    EXPECT_TRUE(peer.call(4, "tools/list").contains("result"));
  }
  StdioPeer peer(provider);
  EXPECT_EQ(error_code(peer.call(1, "initialize", {{"capabilities", Json::object()}})), -32602);
}

TEST(McpSessionTest, ToolsListPagesThroughEveryToolOnceAndRefusesForeignCursors) {
  TestProvider provider;
  StdioPeer peer(provider, {.page_size = 5});
  peer.initialize();
  std::vector<std::string> names;
  Json cursor;
  int pages = 0;
  do {
    Json params = cursor.is_null() ? Json::object() : Json{{"cursor", cursor}};
    Json result = peer.call(++pages, "tools/list", params)["result"];
    ASSERT_LE(result["tools"].size(), 5u);
    for (const Json& tool : result["tools"]) names.push_back(tool["name"]);
    cursor = result.contains("nextCursor") ? result["nextCursor"] : Json();
  } while (!cursor.is_null() && pages < 20);
  ASSERT_EQ(names.size(), provider.tools().size());
  for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(names[i], provider.tools()[i]["name"]);
  EXPECT_EQ(pages, 6);  // 28 tools, 5 a page
  for (Json bad : {Json("x"), Json("0"), Json("28"), Json(5), Json("-1")}) {
    EXPECT_EQ(error_code(peer.call(100, "tools/list", {{"cursor", bad}})), -32602) << bad;
  }

  // Older revisions see only the members they know.
  StdioPeer old(provider);
  old.initialize("2025-03-26");
  Json echo = old.call(1, "tools/list")["result"]["tools"][0];
  EXPECT_FALSE(echo.contains("outputSchema"));
  EXPECT_FALSE(echo.contains("title"));
  EXPECT_TRUE(echo.contains("annotations"));
  StdioPeer oldest(provider);
  oldest.initialize("2024-11-05");
  EXPECT_FALSE(oldest.call(1, "tools/list")["result"]["tools"][0].contains("annotations"));
}

TEST(McpSessionTest, MalformedAndInvalidMessagesGetErrorsAndTheSessionGoesOn) {
  TestProvider provider;
  StdioPeer peer(provider);
  peer.initialize();
  auto expect_error = [&](const std::string& raw, int code, const Json& id) {
    peer.send_raw(raw + "\n");
    Json answer = peer.read();
    EXPECT_EQ(error_code(answer), code) << raw;
    EXPECT_EQ(answer["id"], id) << raw;
    EXPECT_FALSE(answer["error"]["message"].get<std::string>().empty());
  };
  expect_error("{\"jsonrpc\": \"2.0\", \"id\": 1, ", -32700, nullptr);
  expect_error(std::string(600, '[') + std::string(600, ']'), -32700, nullptr);
  expect_error("42", -32600, nullptr);
  expect_error(R"({"jsonrpc":"1.0","id":2,"method":"ping"})", -32600, 2);
  expect_error(R"({"jsonrpc":"2.0","id":{"a":1},"method":"ping"})", -32600, nullptr);
  expect_error(R"({"jsonrpc":"2.0","id":3})", -32600, 3);
  expect_error(R"({"jsonrpc":"2.0","id":4,"method":"tools/list","params":[1]})", -32602, 4);
  expect_error(R"({"jsonrpc":"2.0","id":5,"method":"resources/list"})", -32601, 5);
  expect_error(R"({"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"nope"}})", -32602,
               6);
  expect_error(
      R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"echo","arguments":"x"}})",
      -32602, 7);
  expect_error(
      R"({"jsonrpc":"2.0","id":8,"method":"tools/call","params":{"name":"echo","arguments":null}})",
      -32602, 8);
  // Unknown notifications and stray responses get no answer; blank lines are skipped.
  peer.send_raw("\n  \r\n" + notification("notifications/whatever", {}).dump() + "\n" +
                R"({"jsonrpc":"2.0","id":99,"result":{}})" + "\n");
  EXPECT_EQ(peer.call("after", "ping")["result"], Json::object());

  // A line beyond 16 MiB is skipped as a whole; the next line is served.
  std::string huge = R"({"jsonrpc":"2.0","id":9,"method":"ping","params":{"pad":")" +
                     std::string(16 * 1024 * 1024, 'a') + "\"}}\n";
  std::thread writer([&] { peer.send_raw(huge); });
  Json refused = peer.read(30s);
  writer.join();
  EXPECT_EQ(error_code(refused), -32700);
  EXPECT_EQ(peer.call(10, "ping")["result"], Json::object());
}

TEST(McpSessionTest, ToolResultsCarryTextStructuredContentAndTheErrorFlag) {
  TestProvider provider;
  StdioPeer peer(provider);
  peer.initialize("2025-06-18");
  Json ok =
      peer.call(1, "tools/call", {{"name", "echo"}, {"arguments", {{"text", "你好"}}}})["result"];
  EXPECT_EQ(ok["content"], Json::parse(R"([{"type":"text","text":"{\"text\":\"你好\"}"}])"));
  EXPECT_EQ(ok["structuredContent"], Json({{"arguments", {{"text", "你好"}}}}));
  EXPECT_EQ(ok["isError"], false);
  // No arguments at all are an empty object.
  EXPECT_EQ(
      peer.call(2, "tools/call", {{"name", "echo"}})["result"]["structuredContent"]["arguments"],
      Json::object());

  Json failed = peer.call(3, "tools/call", {{"name", "fail"}})["result"];
  EXPECT_EQ(failed["isError"], true);
  EXPECT_EQ(failed["content"][0]["text"], "按要求失败");
  EXPECT_FALSE(failed.contains("structuredContent"));

  Json thrown = peer.call(4, "tools/call", {{"name", "throws"}})["result"];
  EXPECT_EQ(thrown["isError"], true);
  EXPECT_EQ(thrown["content"][0]["text"], "错误 [INTERNAL_ERROR]：tool blew up");

  StdioPeer old(provider);
  old.initialize("2025-03-26");
  EXPECT_FALSE(
      old.call(1, "tools/call", {{"name", "echo"}})["result"].contains("structuredContent"));
}

TEST(McpSessionTest, ProgressGoesOutOnlyWithATokenAndOnlyIncreasing) {
  TestProvider provider;
  StdioPeer peer(provider);
  peer.initialize();
  for (Json token : {Json("p-1"), Json(17)}) {
    peer.others.clear();
    Json answer = peer.call(
        token, "tools/call",
        {{"name", "slow"}, {"arguments", {{"steps", 3}}}, {"_meta", {{"progressToken", token}}}});
    EXPECT_EQ(answer["result"]["isError"], false);
    ASSERT_EQ(peer.others.size(), 3u);
    for (int i = 0; i < 3; ++i) {
      const Json& sent = peer.others[i];
      EXPECT_EQ(sent["method"], "notifications/progress");
      EXPECT_EQ(sent["params"], Json({{"progressToken", token},
                                      {"progress", i + 1},
                                      {"total", 3},
                                      {"message", "第 " + std::to_string(i + 1) + " 步"}}));
    }
  }
  peer.others.clear();
  peer.call(5, "tools/call", {{"name", "slow"}, {"arguments", {{"steps", 2}}}});
  EXPECT_TRUE(peer.others.empty());

  // 2024-11-05 knows no progress message.
  StdioPeer old(provider);
  old.initialize("2024-11-05");
  old.call(1, "tools/call",
           {{"name", "slow"}, {"arguments", {{"steps", 1}}}, {"_meta", {{"progressToken", 1}}}});
  ASSERT_EQ(old.others.size(), 1u);
  EXPECT_FALSE(old.others[0]["params"].contains("message"));
}

TEST(McpSessionTest, CancelledCallsStopAndGetNoAnswer) {
  TestProvider provider;
  StdioPeer peer(provider);
  peer.initialize();
  peer.send({{"jsonrpc", "2.0"},
             {"id", 7},
             {"method", "tools/call"},
             {"params", {{"name", "wait_for_cancel"}, {"_meta", {{"progressToken", "w"}}}}}});
  EXPECT_EQ(peer.read()["params"]["message"], "开始等待");
  // The id is taken while the call runs.
  EXPECT_EQ(error_code(peer.call(7, "tools/call", {{"name", "echo"}})), -32600);
  peer.send(notification("notifications/cancelled", {{"requestId", 7}, {"reason", "用户取消"}}));
  EXPECT_TRUE(peer.silent_for(500ms));
  Json stats = stats_after(peer, 1);
  EXPECT_EQ(stats["cancellations_seen"], 1);
  EXPECT_EQ(stats["calls_running"], 0);
  // Cancelling what is not running is ignored.
  peer.send(notification("notifications/cancelled", {{"requestId", 12345}}));
  EXPECT_EQ(peer.call(9, "ping")["result"], Json::object());
}

TEST(McpSessionTest, ElicitationRoundTripsThroughTheClient) {
  TestProvider provider;
  StdioPeer peer(provider);
  peer.initialize("2025-11-25", {{"elicitation", Json::object()}});
  auto start_ask = [&](const Json& id, int timeout_s) {
    peer.send({{"jsonrpc", "2.0"},
               {"id", id},
               {"method", "tools/call"},
               {"params", {{"name", "ask"}, {"arguments", {{"timeout_s", timeout_s}}}}}});
    Json asked = peer.read();
    EXPECT_EQ(asked["method"], "elicitation/create");
    EXPECT_EQ(asked["params"]["mode"], "form");
    EXPECT_EQ(asked["params"]["message"], "请输入名字");
    EXPECT_EQ(asked["params"]["requestedSchema"]["required"], Json::array({"name"}));
    return asked["id"];
  };

  Json asked = start_ask(1, 20);
  Json answer = {{"action", "accept"}, {"content", {{"name", "张三"}}}};
  peer.send({{"jsonrpc", "2.0"}, {"id", asked}, {"result", answer}});
  Json result = peer.read()["result"];
  EXPECT_EQ(result["isError"], false);
  EXPECT_EQ(result["structuredContent"], answer);

  asked = start_ask(2, 20);
  peer.send({{"jsonrpc", "2.0"},
             {"id", asked},
             {"error", {{"code", -1}, {"message", "用户关闭了窗口"}}}});
  result = peer.read()["result"];
  EXPECT_EQ(result["isError"], true);
  EXPECT_EQ(result["content"][0]["text"], "客户端回答了错误：用户关闭了窗口");

  // Unanswered: the question is withdrawn and the tool is told.
  asked = start_ask(3, 1);
  Json withdrawn = peer.read(5s);
  EXPECT_EQ(withdrawn["method"], "notifications/cancelled");
  EXPECT_EQ(withdrawn["params"]["requestId"], asked);
  result = peer.read()["result"];
  EXPECT_EQ(result["isError"], true);
  EXPECT_NE(result["content"][0]["text"].get<std::string>().find("超时"), std::string::npos);

  // A client that declared only url mode, or nothing, is never asked.
  for (Json capabilities : {Json::object(), Json({{"elicitation", {{"url", Json::object()}}}})}) {
    StdioPeer plain(provider);
    plain.initialize("2025-11-25", capabilities);
    EXPECT_EQ(plain.call(1, "tools/call", {{"name", "ask"}})["result"]["content"][0]["text"],
              "客户端不能询问");
  }
}

TEST(McpSessionTest, CallsRunSideBySideUpToTheBoundAndTheRestAreRefused) {
  TestProvider provider;
  StdioPeer peer(provider, {.max_calls = 3});
  peer.initialize();
  for (int id = 1; id <= 3; ++id) {
    peer.send({{"jsonrpc", "2.0"},
               {"id", id},
               {"method", "tools/call"},
               {"params", {{"name", "wait_for_cancel"}, {"_meta", {{"progressToken", id}}}}}});
  }
  std::set<int> started;
  for (int i = 0; i < 3; ++i) started.insert(peer.read()["params"]["progressToken"].get<int>());
  EXPECT_EQ(started, std::set<int>({1, 2, 3}));  // all three wait at once
  Json busy = peer.call(4, "tools/call", {{"name", "echo"}});
  EXPECT_EQ(error_code(busy), -32603);
  EXPECT_NE(busy["error"]["message"].get<std::string>().find("繁忙"), std::string::npos);
  for (int id = 1; id <= 3; ++id)
    peer.send(notification("notifications/cancelled", {{"requestId", id}}));
  Json stats = stats_after(peer, 3);
  EXPECT_EQ(stats["cancellations_seen"], 3);
  EXPECT_EQ(stats["calls_running"], 0);
  EXPECT_TRUE(peer.silent_for(200ms));
}

TEST(McpSessionTest, BatchesOnlyWhereTheRevisionHasThem) {
  TestProvider provider;
  StdioPeer peer(provider);
  peer.initialize("2025-03-26");
  peer.send(Json::array({{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "ping"}},
                         notification("notifications/initialized", {}),
                         {{"jsonrpc", "2.0"},
                          {"id", 2},
                          {"method", "tools/call"},
                          {"params", {{"name", "slow"}, {"arguments", {{"steps", 1}}}}}},
                         {{"jsonrpc", "2.0"}, {"id", 3}, {"method", "nope"}}}));
  Json answers = peer.read();
  ASSERT_TRUE(answers.is_array());
  ASSERT_EQ(answers.size(), 3u);
  std::map<int, Json> by_id;
  for (const Json& answer : answers) by_id[answer["id"].get<int>()] = answer;
  EXPECT_EQ(by_id[1]["result"], Json::object());
  EXPECT_EQ(by_id[2]["result"]["content"][0]["text"], "完成 1 步");
  EXPECT_EQ(error_code(by_id[3]), -32601);
  // Only notifications: no answer at all. Empty: one error.
  peer.send(Json::array({notification("notifications/initialized", {})}));
  peer.send_raw("[]\n");
  EXPECT_EQ(error_code(peer.read()), -32600);

  StdioPeer current(provider);
  current.initialize("2025-11-25");
  current.send(Json::array({{{"jsonrpc", "2.0"}, {"id", 1}, {"method", "ping"}}}));
  Json refused = current.read();
  EXPECT_EQ(error_code(refused), -32600);
  EXPECT_TRUE(refused["id"].is_null());
}

TEST(McpSessionTest, EndOfInputCancelsTheCallsInFlightAndReturns) {
  TestProvider provider;
  StdioPeer peer(provider);
  peer.initialize();
  peer.send({{"jsonrpc", "2.0"},
             {"id", 1},
             {"method", "tools/call"},
             {"params", {{"name", "wait_for_cancel"}, {"_meta", {{"progressToken", 1}}}}}});
  peer.read();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(peer.finish(), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_EQ(provider.cancellations_seen(), 1);
  EXPECT_EQ(provider.calls_running(), 0);
}

}  // namespace
}  // namespace vendro::testing
