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

TEST(ReplaceInvalidUtf8, OneReplacementPerMaximalIllFormedSubpart) {
  EXPECT_EQ(replace_invalid_utf8("a中😀"), "a中😀");
  // A truncated sequence is one subpart; a byte that cannot start or continue one is its own.
  EXPECT_EQ(replace_invalid_utf8("x\xe4\xb8y"), "x\uFFFDy");
  EXPECT_EQ(replace_invalid_utf8("\xe4\xb8"), "\uFFFD");
  EXPECT_EQ(replace_invalid_utf8("\xc0\xaf"), "\uFFFD\uFFFD");            // overlong "/"
  EXPECT_EQ(replace_invalid_utf8("\xed\xa0\x80"), "\uFFFD\uFFFD\uFFFD");  // a surrogate
  EXPECT_EQ(replace_invalid_utf8("\xf4\x90\x80\x80"), "\uFFFD\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(replace_invalid_utf8("\xf0\x9f\x98"), "\uFFFD");
  EXPECT_EQ(replace_invalid_utf8("\xffz\x80"), "\uFFFDz\uFFFD");
}

TEST(TerminalSafe, DropsControlsKeepsLinesAndReplacesInvalidBytes) {
  // Window title (OSC ... BEL), clear screen (CSI as ESC [ and as C1 0x9b), carriage return, DEL.
  std::string hostile =
      "服务\x1b]0;pwned\x07繁忙\x1b[2J\r\n第二行\t\xc2\x9b"
      "2J\x7f\x01\xff!";
  EXPECT_EQ(terminal_safe(hostile), "服务]0;pwned繁忙[2J\n第二行\t2J\uFFFD!");
  EXPECT_EQ(terminal_safe(hostile, false), "服务]0;pwned繁忙[2J第二行2J\uFFFD!");
  // A lone surrogate and a truncated sequence are invalid too; ordinary text passes untouched.
  EXPECT_EQ(terminal_safe("a\xed\xa0\x80"
                          "b\xe5\x8d"),
            "a\uFFFD\uFFFD\uFFFDb\uFFFD\uFFFD");
  EXPECT_EQ(terminal_safe("卖家精灵 ÄÖ 😀 \u00a0"), "卖家精灵 ÄÖ 😀 \u00a0");
}

}  // namespace
}  // namespace vendro::text
