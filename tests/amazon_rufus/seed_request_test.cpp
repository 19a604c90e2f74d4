// The pure pieces of a seed capture: cookie header, browser cookies, the Rufus request predicate
// and the tab id.

#include "vendro/amazon_rufus/seed_request.hpp"

#include <gtest/gtest.h>

namespace vendro::amazon_rufus {
namespace {

using Pairs = std::vector<CookiePair>;

TEST(RufusCookieHeader, KeepsNamedPairsInOrderAndSkipsTheRest) {
  EXPECT_TRUE(_parse_cookie_header("").empty());
  EXPECT_TRUE(_parse_cookie_header(" ; ;").empty());
  EXPECT_EQ(_parse_cookie_header("a=1; b; =x; c = 2 = 3 ;;"), (Pairs{{"a", "1"}, {"c", "2 = 3"}}));
  EXPECT_EQ(_parse_cookie_header("sid="), (Pairs{{"sid", ""}}));
  // Repeated names and attributes are ordinary pairs; nothing is decoded or unquoted.
  EXPECT_EQ(_parse_cookie_header("x=1;x=\"2\"; Path=/; y=%20"),
            (Pairs{{"x", "1"}, {"x", "\"2\""}, {"Path", "/"}, {"y", "%20"}}));
  // Unicode white space around a piece is trimmed, too.
  EXPECT_EQ(_parse_cookie_header("\u3000ubid-main=133-1\u00a0"), (Pairs{{"ubid-main", "133-1"}}));
}

TEST(RufusCookieHeader, BrowserCookiesTakeHostAndSchemeOfThePage) {
  const Pairs pairs = {{"session-id", "1"}, {"x", ""}};
  Json cookies = build_browser_cookies(pairs, "HTTPS://user@WWW.Amazon.COM:443/dp/B0?x=1");
  EXPECT_EQ(
      cookies.dump(),
      R"([{"name":"session-id","value":"1","domain":"www.amazon.com","path":"/","secure":true},)"
      R"({"name":"x","value":"","domain":"www.amazon.com","path":"/","secure":true}])");
  cookies = build_browser_cookies(pairs, "http://..amazon.co.jp/dp/B0");
  EXPECT_EQ(cookies[0]["domain"], "amazon.co.jp");
  EXPECT_EQ(cookies[0]["secure"], false);
  EXPECT_EQ(build_browser_cookies(pairs, "httpsx://www.amazon.de/")[1]["secure"], false);
  EXPECT_EQ(build_browser_cookies({}, "https://www.amazon.de/"), Json::array());
}

TEST(RufusCookieHeader, PageHostIsEmptyWithoutAnAuthority) {
  EXPECT_EQ(page_host("https://WWW.Amazon.com:8443/dp/B0"), "www.amazon.com");
  EXPECT_EQ(page_host("/dp/B0ABC"), "");
  EXPECT_EQ(page_host("www.amazon.com/dp/B0"), "");
  EXPECT_EQ(page_host(""), "");
}

TEST(RufusRequest, RecognisedByTheStreamingPathCaseSensitively) {
  EXPECT_TRUE(is_rufus_request("https://www.amazon.com/rufus/cl/streaming?tabId=1"));
  EXPECT_TRUE(is_rufus_request("/x/rufus/cl/streaming"));
  EXPECT_FALSE(is_rufus_request("https://www.amazon.com/Rufus/cl/streaming"));
  EXPECT_FALSE(is_rufus_request("https://www.amazon.com/rufus/cl/"));
  EXPECT_FALSE(is_rufus_request(""));
}

TEST(RufusRequest, TabIdFromTheUrlFirstThenTheBody) {
  EXPECT_EQ(_extract_tab_id("https://a/rufus/cl/streaming?x=1&tabId=abc&y=2", "{}"), "abc");
  EXPECT_EQ(_extract_tab_id("https://a/s?tabId=", R"({"tabId": "body"})"), "");
  // A plain substring: a longer name ending in "tabId" and a fragment match, nothing is decoded.
  EXPECT_EQ(_extract_tab_id("https://a/s?oldtabId=o%20k&tabId=n", "{}"), "o%20k");
  EXPECT_EQ(_extract_tab_id("https://a/s#tabId=frag", "{}"), "frag");

  EXPECT_EQ(_extract_tab_id("https://a/s", R"({"tabId": "", "tab_id": "t-1"})"), "t-1");
  EXPECT_EQ(_extract_tab_id("https://a/s", R"({"tabId": 7})"), "7");
  EXPECT_EQ(_extract_tab_id("https://a/s", R"({"tabId": 0, "tab_id": null})"), "");
  EXPECT_EQ(_extract_tab_id("https://a/s", R"({"tab_id": "t-2", "tabId": "t-3"})"), "t-3");
  for (const char* body : {R"(["tabId", "x"])", "not json", "", R"("tabId=1")", "{\"tabId\":"}) {
    EXPECT_EQ(_extract_tab_id("https://a/s", body), "") << body;
  }
  // Beyond the JSON depth cap: no tab id, no error.
  EXPECT_EQ(_extract_tab_id("https://a/s", std::string(600, '[') + std::string(600, ']')), "");
}

}  // namespace
}  // namespace vendro::amazon_rufus
