// The replay's rewriting of the seed: body per question, URL and headers.

#include "vendro/amazon_rufus/replay.hpp"

#include <gtest/gtest.h>

#include "vendro/amazon_rufus/errors.hpp"

namespace vendro::amazon_rufus {
namespace {

const RufusReplayService service;

// What every payload gets, after the seed's own members.
const char* ADDED_MEMBERS =
    R"("queryContext":{"query":"Q","actionType":"SEARCH","qis":"NileCLTextInput"},)"
    R"("pageContext":{"pageType":"DETAIL_PAGE","targetPageType":"DETAIL_PAGE",)"
    R"("originPageType":"DETAIL_PAGE"},)"
    R"("bottomSheetContext":{"previousTurnsBottomSheetSize":"expanded"},)"
    R"("impressionsContext":{"FIRST_TIME_USER_MESSAGE_SEEN_STATUS":"SEEN"},)"
    R"("historyThreadContext":{"threadId":null,"threadState":"THREAD_STATE_UNKNOWN"})";

TEST(RufusReplayPayload, BodiesThatAreNoObjectGiveOnlyTheAddedMembers) {
  for (const char* body : {"", "[1, 2]", "\"text\"", "null", " {} "}) {
    EXPECT_EQ(service.build_payload({.seed_body = body, .question = "Q"}).dump(),
              std::string("{") + ADDED_MEMBERS + "}")
        << body;
  }
}

TEST(RufusReplayPayload, BodyThatIsNoJsonFailsWithItsCause) {
  try {
    service.build_payload({.seed_body = "{\"queryContext\": ", .question = "Q"});
    ADD_FAILURE() << "accepted a broken body";
  } catch (const RufusReplayError& e) {
    EXPECT_STREQ(e.what(), "seed request body 不是合法 JSON");
    EXPECT_EQ(e.code(), "RUFUS_REPLAY_FAILED");
    EXPECT_THROW(std::rethrow_if_nested(e), JsonError);
  }
}

TEST(RufusReplayPayload, ContextsKeepTheirMembersAndPlaces) {
  const std::string seed = R"({"historyThreadContext":{"threadState":"ACTIVE","turns":[1]},)"
                           R"("x":1,"queryContext":{"query":"old","locale":"en_US"},)"
                           R"("pageContext":"broken","bottomSheetContext":null})";
  Json payload =
      service.build_payload({.seed_body = seed, .question = "防水吗？", .thread_id = "t-7"});
  std::vector<std::string> keys;
  for (const auto& [key, value] : payload.items()) keys.push_back(key);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"historyThreadContext", "x", "queryContext", "pageContext",
                                      "bottomSheetContext", "impressionsContext"}));
  EXPECT_EQ(payload["historyThreadContext"].dump(), R"({"threadId":"t-7","threadState":"ACTIVE"})");
  EXPECT_EQ(
      payload["queryContext"].dump(),
      R"({"query":"防水吗？","locale":"en_US","actionType":"SEARCH","qis":"NileCLTextInput"})");
  EXPECT_EQ(payload["pageContext"].size(), 3u);
  EXPECT_EQ(payload["bottomSheetContext"].dump(), R"({"previousTurnsBottomSheetSize":"expanded"})");

  for (const char* history : {R"({"threadState":""})", R"({"other":1})", "[]", "\"ACTIVE\""}) {
    payload = service.build_payload(
        {.seed_body = std::string(R"({"historyThreadContext":)") + history + "}", .question = "Q"});
    EXPECT_EQ(payload["historyThreadContext"]["threadState"], "THREAD_STATE_UNKNOWN") << history;
  }
  payload = service.build_payload({.seed_body = R"({"queryContext":"q"})", .question = "Q"});
  EXPECT_EQ(payload["queryContext"].dump(),
            R"({"query":"Q","actionType":"SEARCH","qis":"NileCLTextInput"})");
}

TEST(RufusReplayPayload, AsinMetadataIsUpsertedOnlyForARealAsin) {
  const std::string seed =
      R"({"pageContext":{"pageMetadata":[{"type":"X","value":"1"},{"type":"ASIN","value":"OLD1"},)"
      R"({"type":"ASIN","value":"OLD2"}],"targetPageMetadata":{"type":"ASIN"}}})";
  Json payload = service.build_payload({.seed_body = seed,
                                        .question = "Q",
                                        .asin = " b0abc12345 ",
                                        .origin_url = "https://www.amazon.com/dp/B0ABC12345"});
  const Json& page = payload["pageContext"];
  EXPECT_EQ(page["pageMetadata"].dump(),
            R"([{"type":"X","value":"1"},{"type":"ASIN","value":"B0ABC12345"},)"
            R"({"type":"ASIN","value":"OLD2"}])");
  EXPECT_EQ(page["targetPageMetadata"].dump(), R"([{"type":"ASIN","value":"B0ABC12345"}])");
  EXPECT_EQ(page["originPageMetadata"], page["targetPageMetadata"]);
  EXPECT_EQ(page["targetUrl"], "https://www.amazon.com/dp/B0ABC12345");
  EXPECT_EQ(page["originUrl"], "https://www.amazon.com/dp/B0ABC12345");

  // Blank ASIN: neither metadata nor URLs, even with an origin URL.
  payload = service.build_payload(
      {.seed_body = "{}", .question = "Q", .asin = " \t", .origin_url = "https://x/"});
  EXPECT_EQ(payload["pageContext"].size(), 3u);
  // ASIN without origin URL: metadata only.
  payload =
      service.build_payload({.seed_body = "{}", .question = "Q", .asin = "B0X", .origin_url = ""});
  EXPECT_FALSE(payload["pageContext"].contains("targetUrl"));
  EXPECT_EQ(payload["pageContext"]["pageMetadata"][0]["value"], "B0X");
}

SeedRequestRecord seed_at(const std::string& url, const std::string& tab_id = "") {
  return {.request_url = url, .tab_id = tab_id};
}

TEST(RufusReplayUrl, RebuildsTheQueryAsFormData) {
  EXPECT_EQ(service.build_replay_url(seed_at("https://www.amazon.com/rufus/cl/streaming")),
            "https://www.amazon.com/rufus/cl/streaming"
            "?programId=NILE_CLASSIC%3Adesktop-cl&ref=nl_cl_dsk_csq");
  // Repeated names keep the first place and the last value; empty fields go, empty values stay.
  EXPECT_EQ(service.build_replay_url(seed_at(
                "https://www.amazon.com/rufus/cl/streaming?ref=mine&tabId=old&x=a+b&&x=c&e=&flag"
                "&q=%E4%B8%AD+%2f#frag",
                "t new")),
            "https://www.amazon.com/rufus/cl/streaming?ref=mine&tabId=t+new&x=c&e=&flag="
            "&q=%E4%B8%AD+%2F&programId=NILE_CLASSIC%3Adesktop-cl#frag");
  EXPECT_EQ(service.build_replay_url(seed_at("https://a.example/s?tabId=own&programId=P#", "")),
            "https://a.example/s?tabId=own&programId=P&ref=nl_cl_dsk_csq");
}

TEST(RufusReplayHeaders, OnlyTheAllowlistInLowerCase) {
  EXPECT_EQ(RufusReplayService::_build_replay_headers({{"Content-Type", "text/plain"},
                                                       {"Anti-CSRFToken-A2Z", "tok"},
                                                       {"Cookie", "session-id=1"},
                                                       {"User-Agent", "seed"},
                                                       {"X-Amz-Is-Papyrus", "false"},
                                                       {"ANTI-csrftoken-a2z", "tok2"}}),
            (HeaderList{{"content-type", "text/plain"},
                        {"anti-csrftoken-a2z", "tok2"},
                        {"x-amz-is-papyrus", "false"}}));
  EXPECT_EQ(RufusReplayService::_build_replay_headers({{"Cookie", "c"}}),
            (HeaderList{{"content-type", "application/json"}}));
}

TEST(RufusReplay, WithoutAPageNothingIsSent) {
  EXPECT_TRUE(service.replay(seed_at("https://www.amazon.com/rufus/cl/streaming"), {"Q"}).empty());
}

}  // namespace
}  // namespace vendro::amazon_rufus
