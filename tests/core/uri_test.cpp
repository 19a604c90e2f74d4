#include "vendro/core/uri.hpp"

#include <gtest/gtest.h>

namespace vendro::uri {
namespace {

TEST(UriSplit, SplitsTheFiveComponentsAndWritesThemBack) {
  UriParts parts = split("HTTPS://us:pw@WWW.Amazon.COM:8443/dp/B0?a=1&b#top");
  EXPECT_EQ(parts.scheme, "HTTPS");
  EXPECT_EQ(parts.authority, "us:pw@WWW.Amazon.COM:8443");
  EXPECT_EQ(parts.path, "/dp/B0");
  EXPECT_EQ(parts.query, "a=1&b");
  EXPECT_EQ(parts.fragment, "top");
  EXPECT_EQ(parts.host(), "www.amazon.com");

  parts = split("/dp/B0?x#");
  EXPECT_FALSE(parts.scheme);
  EXPECT_FALSE(parts.authority);
  EXPECT_EQ(parts.query, "x");
  EXPECT_EQ(parts.fragment, "");

  // What is no scheme by its syntax stays in the path.
  EXPECT_FALSE(split("1http://x").scheme);
  EXPECT_EQ(split("1http://x").path, "1http://x");
  EXPECT_EQ(split("a/b:c").path, "a/b:c");

  for (const char* text : {"", "http://h/?", "x#", "//host", "mailto:a@b", "http://[::1]:80",
                           "a:b:c?d?e#f#g", "http://h?#", "?q"}) {
    EXPECT_EQ(split(text).to_string(), text);
  }
}

TEST(UriSplit, HostDropsUserInfoAndPortKeepsIpv6Brackets) {
  EXPECT_EQ(host_of("http://a@b@Host.Example:1/x"), "host.example");
  EXPECT_EQ(host_of("http://[FE80::1]:8080/"), "[fe80::1]");
  EXPECT_EQ(host_of("//cdn.example/x"), "cdn.example");
  EXPECT_EQ(host_of("https://www.amazon.de?x"), "www.amazon.de");
  for (const char* none : {"", "/dp/B0", "mailto:a@b", "file:///etc/hosts", "http://user@:80/"}) {
    EXPECT_EQ(host_of(none), "") << none;
  }
}

TEST(FormData, DecodesFieldsInOrderWithReplacementForBadUtf8) {
  FormFields expected = {{"a", "1"},    {"b", ""}, {"c", "x y+中"}, {"a", "2"},
                         {"d", "%zz%"}, {"", "v"}, {"e", "\uFFFD"}, {"f", "=g"}};
  EXPECT_EQ(decode_form("a=1&&b&c=x+y%2B%E4%B8%ad&a=2&d=%zz%&=v&e=%E4%B8&f==g&"), expected);
  EXPECT_TRUE(decode_form("").empty());
  EXPECT_TRUE(decode_form("&&").empty());
}

TEST(FormData, EncodesAllButUnreservedBytes) {
  EXPECT_EQ(encode_form({{"programId", "NILE_CLASSIC:desktop-cl"},
                         {"q", "a b/中~._-"},
                         {"empty", ""},
                         {"k&=", "1+1"}}),
            "programId=NILE_CLASSIC%3Adesktop-cl&q=a+b%2F%E4%B8%AD~._-&empty=&k%26%3D=1%2B1");
  EXPECT_EQ(encode_form({}), "");
  FormFields round = {{"名", "值 & more"}, {"x", ""}};
  EXPECT_EQ(decode_form(encode_form(round)), round);
  EXPECT_EQ(percent_encode("B0 /../x?y#z"), "B0%20%2F..%2Fx%3Fy%23z");
}

}  // namespace
}  // namespace vendro::uri
