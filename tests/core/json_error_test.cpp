#include <gtest/gtest.h>

#include "vendro/core/error.hpp"
#include "vendro/core/json.hpp"

namespace vendro {
namespace {

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

TEST(Errors, ForeignExceptionsHaveTheInternalCode) {
  std::out_of_range e("x");
  EXPECT_EQ(error_code(e), "INTERNAL_ERROR");
  EXPECT_EQ(error_chain(e), std::vector<std::string>{"x"});
}

}  // namespace
}  // namespace vendro
