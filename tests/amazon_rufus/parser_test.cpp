// Reading streamed answers: the framings, what is skipped, how pieces join, the bounds.

#include "vendro/amazon_rufus/parser.hpp"

#include <gtest/gtest.h>

namespace vendro::amazon_rufus {
namespace {

const RufusParserService parser;

TEST(RufusParser, NewlineDelimitedJson) {
  const std::string raw =
      "{\"type\":\"chunk\",\"text\":\"这款\"}\r\n"
      "{\"type\":\"chunk\",\"text\":\"防水。\",\"threadId\":\"th-1\"}\n"
      "{\"type\":\"end\"}";
  AnswerData answer = parser.parse(raw);
  EXPECT_EQ(answer.text, "这款防水。");
  EXPECT_EQ(answer.thread_id, "th-1");
  EXPECT_EQ(answer.raw, raw);
}

TEST(RufusParser, ServerSentEventsWithWrappersAndNoise) {
  const std::string raw =
      ": keep-alive\n"
      "event: message\n"
      "id: 1\n"
      "data: {\"choices\":[{\"delta\":{\"content\":\"Yes, \"}}]}\n\n"
      "event: message\r\n"
      "data:{\"payload\":{\"answer\":\"it is\",\"meta\":{\"threadId\":\"t-a\"}}}\r\n\r\n"
      "data: not json at all\n"
      "<div>stray markup</div>\n"
      "data: {\"truncated\": \n"
      "data: {\"a\":1}{\"text\":\"two values on one line\"}\n"
      "data: {\"content\":[{\"type\":\"text\",\"text\":\" waterproof.\"}]}\n"
      "data: [DONE]\n";
  AnswerData answer = parser.parse(raw);
  EXPECT_EQ(answer.text, "Yes, it is waterproof.");
  EXPECT_EQ(answer.thread_id, "t-a");
}

TEST(RufusParser, SnapshotsReplaceInsteadOfDoubling) {
  AnswerData answer = parser.parse(
      "{\"text\":\"It\"}\n{\"text\":\" fits\"}\n{\"text\":\"It fits well.\"}\n"
      "{\"text\":\"It fits well.\"}\n{\"text\":\" Really.\"}\n");
  EXPECT_EQ(answer.text, "It fits well. Really.");
  // One object gives one piece: the first text member, not its metadata's.
  EXPECT_EQ(parser.parse(R"({"text":"A","content":"B","extra":{"text":"C"}})").text, "A");
}

TEST(RufusParser, LastThreadIdWinsAndNoneStaysAbsent) {
  AnswerData answer = parser.parse(
      "{\"threadId\":\"first\",\"text\":\"a\"}\n"
      "{\"threadId\":\"\"}\n"
      "{\"threadId\":42}\n"
      "{\"meta\":{\"inner\":[{\"threadId\":\"last\"}]}}\n"
      "{\"text\":\"b\"}\n");
  EXPECT_EQ(answer.text, "ab");
  EXPECT_EQ(answer.thread_id, "last");
  answer = parser.parse("{\"text\":\"no thread\"}\n");
  EXPECT_EQ(answer.thread_id, std::nullopt);
}

TEST(RufusParser, ErrorPagesGiveAnEmptyAnswer) {
  const std::string html =
      "<!DOCTYPE html>\n<html><head><title>Sorry! Something went wrong!</title></head>\n"
      "<body><script>var x = {\"text\": \"not a line of JSON\"};</script></body></html>";
  for (const std::string& raw : {html, std::string(), std::string("\xEF\xBB\xBF"),
                                 std::string("\xff\xfe{\"text\":\"bad bytes\"}"),
                                 std::string("data: {\"text\": \"\xE4\xB8\"}")}) {
    AnswerData answer = parser.parse(raw);
    EXPECT_EQ(answer.thread_id, std::nullopt);
    EXPECT_EQ(answer.raw, raw);
    EXPECT_EQ(answer.text, "") << raw;
  }
  // A byte-order mark before the first line is no obstacle.
  EXPECT_EQ(parser.parse("\xEF\xBB\xBF{\"text\":\"ok\"}").text, "ok");
}

// `value` wrapped in `levels` objects: {"w":{"w":...value...}}.
std::string nested(int levels, const std::string& value) {
  std::string text = value;
  for (int i = 0; i < levels; ++i) text = "{\"w\":" + text + "}";
  return text;
}

TEST(RufusParser, DeepNestingIsBounded) {
  const int deepest = RufusParserService::MAX_WALK_DEPTH;
  const std::string piece = R"({"text":"deep","threadId":"t-deep"})";
  AnswerData reached = parser.parse(nested(deepest - 1, piece));
  EXPECT_EQ(reached.text, "deep");
  EXPECT_EQ(reached.thread_id, "t-deep");
  AnswerData beyond = parser.parse(nested(deepest, piece));
  EXPECT_EQ(beyond.text, "");
  EXPECT_EQ(beyond.thread_id, std::nullopt);
  // Beyond the JSON depth cap the line is skipped, the next one still read.
  EXPECT_EQ(parser.parse(nested(5000, piece) + "\n{\"text\":\"after\"}").text, "after");
}

TEST(RufusParser, InputAboveTheCapIsCut) {
  const std::size_t cap = RufusParserService::MAX_RAW_BYTES;
  std::string raw = "{\"text\":\"kept\"}\n" + std::string(cap, ' ') + "\n{\"text\":\" lost\"}";
  AnswerData answer = parser.parse(raw);
  EXPECT_EQ(answer.text, "kept");
  EXPECT_EQ(answer.raw.size(), cap);
}

}  // namespace
}  // namespace vendro::amazon_rufus
