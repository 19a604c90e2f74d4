// The DevTools connection and target sessions against a scripted peer: replies matched by id in
// any order, refusals, events routed by session, a detached session, a peer that goes away, and
// messages a browser should never send.

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <chrono>
#include <deque>
#include <thread>

#include "vendro/browser/blocking.hpp"
#include "vendro/browser/connection.hpp"
#include "vendro/browser/errors.hpp"
#include "vendro/browser/network.hpp"
#include "vendro/browser/session.hpp"

namespace vendro::testing {
namespace {

using namespace vendro::browser;
using namespace std::chrono_literals;

// A peer whose every message the test writes by hand, and which keeps what it was sent.
class ScriptedPeer final : public Transport {
 public:
  void send(std::string message) override {
    if (!closed_) sent.push_back(Json::parse(message));
  }
  asio::awaitable<std::optional<std::string>> receive() override {
    co_await arrived_.wait_until([&] { return closed_ || !incoming_.empty(); }, NO_DEADLINE);
    if (incoming_.empty()) co_return std::nullopt;
    std::string message = std::move(incoming_.front());
    incoming_.pop_front();
    co_return message;
  }
  void close() override {
    closed_ = true;
    arrived_.notify_all();
  }

  // What the browser says next.
  void say(std::string message) {
    incoming_.push_back(std::move(message));
    arrived_.notify_all();
  }
  void reply(std::uint64_t id, const std::string& result) {
    say(R"({"id": )" + std::to_string(id) + R"(, "result": )" + result + "}");
  }
  std::uint64_t id_of(std::size_t sent_index) const { return sent.at(sent_index)["id"]; }

  std::vector<Json> sent;

 private:
  std::deque<std::string> incoming_;
  Notifier arrived_;
  bool closed_ = false;
};

class ConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    peer_ = std::make_shared<ScriptedPeer>();
    connection_ = std::make_shared<Connection>(io_.get_executor(), peer_);
    connection_->start([this] { ++disconnects_; });
  }
  template <class T>
  T run(asio::awaitable<T> operation) {
    return run_blocking(io_, std::move(operation));
  }
  // Lets the reader take what the peer said.
  void settle() {
    io_.restart();
    io_.poll();
  }

  asio::io_context io_;
  std::shared_ptr<ScriptedPeer> peer_;
  std::shared_ptr<Connection> connection_;
  int disconnects_ = 0;
};

TEST_F(ConnectionTest, RepliesFindTheirCallsInAnyOrderAndRefusalsNameTheMethod) {
  auto first = connection_->send("Browser.getVersion");
  auto second = connection_->send("Target.createTarget", {{"url", "about:blank"}});
  ASSERT_EQ(peer_->sent.size(), 2u);
  EXPECT_EQ(peer_->sent[1]["method"], "Target.createTarget");
  EXPECT_EQ(peer_->sent[1]["params"]["url"], "about:blank");
  EXPECT_FALSE(peer_->sent[0].contains("sessionId"));
  EXPECT_NE(peer_->id_of(0), peer_->id_of(1));

  peer_->reply(peer_->id_of(1), R"({"targetId": "T2"})");
  peer_->reply(peer_->id_of(0), R"({"product": "Chrome/1"})");
  EXPECT_EQ(run(connection_->result(first)).value("product", ""), "Chrome/1");
  EXPECT_EQ(run(connection_->result(second)).value("targetId", ""), "T2");

  auto refused = connection_->send("Page.navigate");
  peer_->say(R"({"id": )" + std::to_string(peer_->id_of(2)) +
             R"(, "error": {"code": -32000, "message": "Cannot navigate", "data": "bad url"}})");
  try {
    run(connection_->result(refused));
    FAIL();
  } catch (const ProtocolError& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find("Page.navigate"), std::string::npos) << text;
    EXPECT_NE(text.find("Cannot navigate"), std::string::npos) << text;
    EXPECT_NE(text.find("bad url"), std::string::npos) << text;
  }
}

TEST_F(ConnectionTest, EventsReachTheirSessionOnlyAndNonsenseDoesNotStopTheReader) {
  std::vector<std::string> browser_events, tab_events, other_events;
  connection_->set_event_handler(
      "", [&](std::string_view method, const Json&) { browser_events.emplace_back(method); });
  Session tab(connection_, "S1");
  tab.on_event([&](std::string_view method, const Json& params) {
    tab_events.push_back(std::string(method) + ":" + params.value("n", ""));
  });
  Session other(connection_, "S2");
  other.on_event([&](std::string_view method, const Json&) { other_events.emplace_back(method); });

  peer_->say("not json at all");
  peer_->say("[1, 2, 3]");
  peer_->say(R"({"id": 999, "result": {}})");  // no such call
  peer_->say(R"({"method": 7})");
  peer_->say(R"({"method": "Target.attachedToTarget", "params": {}})");
  peer_->say(R"({"method": "Page.loadEventFired", "sessionId": "S1", "params": {"n": "a"}})");
  peer_->say(R"({"method": "Page.loadEventFired", "sessionId": "S9", "params": {}})");
  peer_->say(R"({"method": "Network.dataReceived", "sessionId": "S1"})");  // no params
  settle();
  EXPECT_EQ(browser_events, std::vector<std::string>{"Target.attachedToTarget"});
  EXPECT_EQ(tab_events,
            (std::vector<std::string>{"Page.loadEventFired:a", "Network.dataReceived:"}));
  EXPECT_TRUE(other_events.empty());

  // The reader still answers calls after all that.
  auto call = tab.send("Runtime.evaluate", {{"expression", "1"}});
  EXPECT_EQ(peer_->sent.back()["sessionId"], "S1");
  peer_->reply(peer_->sent.back()["id"], R"({"result": {"value": 1}})");
  EXPECT_EQ(run(tab.result(call))["result"]["value"], 1);
}

TEST_F(ConnectionTest, ADetachedSessionFailsItsCallsAndOnlyItsCalls) {
  Session tab(connection_, "S1");
  Session other(connection_, "S2");
  int tab_events = 0;
  tab.on_event([&](std::string_view, const Json&) { ++tab_events; });
  auto pending = tab.send("Runtime.evaluate");
  auto unaffected = other.send("Runtime.evaluate");
  tab.detach();
  EXPECT_TRUE(tab.closed());
  EXPECT_THROW(run(tab.result(pending)), TargetClosedError);

  const std::size_t written = peer_->sent.size();
  EXPECT_THROW(run(tab.call("Page.reload", Json::object())), TargetClosedError);
  EXPECT_EQ(peer_->sent.size(), written) << "a detached session wrote to the peer";
  peer_->say(R"({"method": "Page.loadEventFired", "sessionId": "S1", "params": {}})");
  settle();
  EXPECT_EQ(tab_events, 0);

  peer_->reply(peer_->id_of(1), R"({"ok": true})");
  EXPECT_EQ(run(other.result(unaffected)).value("ok", false), true);
}

TEST_F(ConnectionTest, APeerThatGoesAwayFailsEveryCallNowAndLater) {
  Session tab(connection_, "S1");
  auto browser_call = connection_->send("Browser.getVersion");
  auto tab_call = tab.send("Runtime.evaluate");
  peer_->close();
  EXPECT_THROW(run(connection_->result(browser_call)), TargetClosedError);
  EXPECT_THROW(run(tab.result(tab_call)), TargetClosedError);
  EXPECT_TRUE(connection_->closed());
  EXPECT_TRUE(tab.closed());
  EXPECT_EQ(disconnects_, 1);
  EXPECT_THROW(run(connection_->call("Browser.getVersion", Json::object(), NO_DEADLINE)),
               TargetClosedError);
  settle();
  EXPECT_EQ(disconnects_, 1);
}

TEST_F(ConnectionTest, AnUnansweredCallTimesOutNamingItsMethod) {
  const auto start = std::chrono::steady_clock::now();
  try {
    run(connection_->call("Storage.getCookies", Json::object(), deadline_after(150)));
    FAIL();
  } catch (const TimeoutError& e) {
    EXPECT_NE(std::string(e.what()).find("Storage.getCookies"), std::string::npos) << e.what();
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
  // A late answer to the abandoned call is dropped quietly.
  peer_->reply(peer_->id_of(0), "{}");
  settle();
  EXPECT_FALSE(connection_->closed());
}

TEST(HeaderNamesTest, LowerCaseNamesJoinRepeatedLinesAndCookiesByLine) {
  const Json headers =
      lower_case_headers({{"Content-Type", "text/html"},
                          {"X-Token", "t1"},
                          {"x-token", "t2"},
                          {"Set-Cookie", "a=1; Expires=Wed, 09 Jun 2027 10:18:14 GMT"},
                          {"set-cookie", "b=2"}});
  EXPECT_EQ(headers, Json::parse(R"({"content-type": "text/html", "x-token": "t1, t2",
      "set-cookie": "a=1; Expires=Wed, 09 Jun 2027 10:18:14 GMT\nb=2"})"));
}

}  // namespace
}  // namespace vendro::testing
