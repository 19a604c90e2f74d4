#include <gtest/gtest.h>

#include <new>

#include "vendro/core/error.hpp"
#include "vendro/core/json.hpp"

namespace vendro {
namespace {

std::string nested(int depth, char open = '[', char close = ']') {
  return std::string(depth, open) + std::string(depth, close);
}

// {"a":{"a":...{}...}} with `depth` objects.
std::string nested_objects(int depth) {
  std::string text;
  for (int i = 1; i < depth; ++i) text += "{\"a\":";
  return text + "{}" + std::string(depth - 1, '}');
}

TEST(ParseJson, AcceptsTheBoundAndPrintsItSafely) {
  for (const std::string& text : {nested(MAX_JSON_DEPTH), nested_objects(MAX_JSON_DEPTH)}) {
    Json value = parse_json(text, "--data");
    // Printing, sending and destroying recurse through the value: at the bound they must hold.
    EXPECT_EQ(to_compact_json(value), text);
    EXPECT_GT(to_pretty_json(value).size(), text.size());
    Json copy = value;
    EXPECT_EQ(copy, value);
  }
}

TEST(ParseJson, RefusesDeeperNestingWithItsOwnCode) {
  for (const std::string& text :
       {nested(MAX_JSON_DEPTH + 1), nested_objects(MAX_JSON_DEPTH + 1), nested(200000),
        "[" + nested(100000, '{', '}') + "]", std::string(100000, '[')}) {
    try {
      parse_json(text, "--payload");
      ADD_FAILURE() << "accepted depth " << text.size() / 2;
    } catch (const JsonTooDeepError& e) {
      EXPECT_EQ(e.code(), "JSON_TOO_DEEP");
      EXPECT_NE(std::string(e.what()).find("--payload 的 JSON 嵌套过深"), std::string::npos)
          << e.what();
      EXPECT_TRUE(dynamic_cast<const InputError*>(&e) != nullptr);
    }
    EXPECT_THROW(try_parse_json(text, "答复"), JsonTooDeepError);
  }
  // Brackets inside strings are text, not nesting.
  std::string brackets = "[\"" + std::string(5000, '[') + "\\\"" + std::string(5000, '{') + "\"]";
  EXPECT_EQ(parse_json(brackets, "x")[0].get<std::string>().size(), 10001u);
}

TEST(ParseJson, OnlyWhiteSpaceMayFollowTheValue) {
  EXPECT_EQ(parse_json(" \n{\"a\": 1}\t\r\n ", "x"), Json({{"a", 1}}));
  for (std::string text :
       {std::string("{}\0garbage", 10), std::string("{}\0", 3), std::string("[1,\0 2]", 7),
        std::string("{} {}"), std::string("{}x"), std::string(""), std::string("{\"a\":1")}) {
    SCOPED_TRACE(text);
    try {
      parse_json(text, "@payload.json");
      ADD_FAILURE() << "accepted";
    } catch (const JsonError& e) {
      EXPECT_EQ(e.code(), "INVALID_INPUT");
      EXPECT_NE(std::string(e.what()).find("@payload.json 不是有效的 JSON"), std::string::npos);
    }
    EXPECT_TRUE(try_parse_json(text, "x").is_discarded());
  }
}

TEST(ParseJson, NumbersBeyondDoubleAreInputErrorsWithTheirOwnCode) {
  for (const char* text : {"1e400", "[-1e400]", "{\"price\": 123e999999}"}) {
    try {
      parse_json(text, "--data");
      ADD_FAILURE() << text;
    } catch (const JsonNumberError& e) {
      EXPECT_EQ(e.code(), "JSON_NUMBER_OUT_OF_RANGE");
      EXPECT_TRUE(dynamic_cast<const InputError*>(&e) != nullptr);
      EXPECT_NE(std::string(e.what()).find("--data 中的数字超出可表示的范围"), std::string::npos);
      EXPECT_NE(std::string(e.what()).find("e"), std::string::npos);
      EXPECT_EQ(error_chain(e).size(), 2u);  // the parser's report as the cause
    }
  }
  // Large integers still fit (as unsigned or double), and tiny numbers round to zero.
  EXPECT_EQ(parse_json("18446744073709551615", "x").get<std::uint64_t>(), 18446744073709551615u);
  EXPECT_EQ(parse_json("1e-400", "x").get<double>(), 0.0);
}

TEST(Truthy, FalsyValuesAreExactlyTheEmptyOnes) {
  for (const char* text : {"null", "false", "0", "0.0", "-0.0", "\"\"", "[]", "{}"}) {
    EXPECT_FALSE(truthy(Json::parse(text))) << text;
  }
  for (const char* text : {"true", "1", "-1", "0.5", "18446744073709551615", "\" \"", "\"0\"",
                           "[0]", "[null]", "{\"a\":null}"}) {
    EXPECT_TRUE(truthy(Json::parse(text))) << text;
  }
}

TEST(JsonOutput, KeepsInsertionOrderAndUnescapedUtf8) {
  Json value;
  value["zeta"] = "卖家精灵";
  value["alpha"] = 1.5;
  value["mid"] = Json::array({1, 2});
  EXPECT_EQ(to_pretty_json(value),
            "{\n  \"zeta\": \"卖家精灵\",\n  \"alpha\": 1.5,\n  \"mid\": [\n    1,\n    2\n  ]\n}");
  EXPECT_EQ(to_compact_json(value), R"({"zeta":"卖家精灵","alpha":1.5,"mid":[1,2]})");
}

TEST(JsonOutput, InvalidUtf8IsReplacedNotThrown) {
  Json value = std::string("ok\xff");
  EXPECT_EQ(to_compact_json(value), "\"ok\xEF\xBF\xBD\"");
}

VENDRO_DEFINE_ERROR(SampleError, RemoteError, "SAMPLE_ERROR");

TEST(Errors, CodesFollowTheMostDerivedTypeAndCausesChain) {
  try {
    try {
      throw std::runtime_error("connection reset");
    } catch (...) {
      std::throw_with_nested(SampleError("远端失败"));
    }
  } catch (const RemoteError& e) {
    EXPECT_STREQ(e.what(), "远端失败");
    EXPECT_EQ(e.code(), "SAMPLE_ERROR");
    EXPECT_EQ(error_code(e), "SAMPLE_ERROR");
    EXPECT_EQ(error_chain(e), (std::vector<std::string>{"远端失败", "connection reset"}));
    return;
  }
  FAIL() << "SampleError was not caught as a RemoteError";
}

TEST(Errors, MemoryExhaustionHasItsOwnCodeAndAChineseMessage) {
  std::bad_alloc e;
  EXPECT_EQ(error_code(e), "OUT_OF_MEMORY");
  auto chain = error_chain(e);
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(chain[0], OUT_OF_MEMORY_MESSAGE);
  EXPECT_EQ(chain[1], e.what());
  // As the cause of one of ours, it keeps the outer code and shows the Chinese words too.
  try {
    try {
      throw std::bad_alloc();
    } catch (...) {
      std::throw_with_nested(FileError("无法读取文件：x"));
    }
  } catch (const FileError& outer) {
    EXPECT_EQ(error_code(outer), "FILE_ERROR");
    EXPECT_EQ(error_chain(outer).at(1), OUT_OF_MEMORY_MESSAGE);
  }
}

TEST(Errors, ForeignExceptionsHaveTheInternalCode) {
  std::out_of_range e("x");
  EXPECT_EQ(error_code(e), "INTERNAL_ERROR");
  EXPECT_EQ(error_chain(e), std::vector<std::string>{"x"});
}

}  // namespace
}  // namespace vendro
