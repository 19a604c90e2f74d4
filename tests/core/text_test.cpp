#include "vendro/core/text.hpp"

#include <gtest/gtest.h>

namespace vendro::text {
namespace {

TEST(Strip, RemovesUnicodeWhiteSpaceOnBothEnds) {
  EXPECT_EQ(strip("  abc \t\n"), "abc");
  // ideographic space, no-break space, line separator, U+0085, \x1f
  EXPECT_EQ(strip("\u3000\u00a0卖家 精灵\u2028\u0085\x1f"), "卖家 精灵");
  EXPECT_EQ(strip(" \u3000 "), "");
  EXPECT_EQ(strip(""), "");
  // zero-width space is not white space
  EXPECT_EQ(strip("\u200bx"), "\u200bx");
}

TEST(Strip, KeepsInvalidBytes) {
  EXPECT_EQ(strip(" \xff "), "\xff");
}

TEST(CaseMapping, MapsBeyondAscii) {
  EXPECT_EQ(to_lower("ÄBC Straße ΣΑΣ"), "äbc straße σασ");
  EXPECT_EQ(to_upper("us-west é"), "US-WEST É");
  EXPECT_EQ(to_lower("日本"), "日本");
}

TEST(CodePoints, CountAndTruncateByCharacterNotByte) {
  EXPECT_EQ(length("卖家精灵"), 4u);
  EXPECT_EQ(length("a\xffz"), 3u);
  EXPECT_EQ(first_code_points("卖家精灵", 2), "卖家");
  EXPECT_EQ(first_code_points("ab", 5), "ab");
  EXPECT_EQ(first_code_points("😀x", 1), "😀");
  EXPECT_TRUE(is_valid_utf8("卖家😀"));
  EXPECT_FALSE(is_valid_utf8("\xe5\x8d"));
}

}  // namespace
}  // namespace vendro::text
