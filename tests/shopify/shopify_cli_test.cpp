// `vendro shopify build|preview` end to end through the built executable.

#include <gtest/gtest.h>

#include "shopify/registry_fixture.hpp"
#include "support/cli_runner.hpp"
#include "vendro/core/json.hpp"

namespace vendro::shopify {
namespace {

using testing::CliResult;
using testing::run_vendro;

class ShopifyCli : public ::testing::Test {
 protected:
  CliResult run(std::vector<std::string> args, std::string stdin_text = "") {
    args.insert(args.begin(), "shopify");
    return run_vendro({.args = args,
                       .stdin_text = stdin_text,
                       .env = {{"VENDRO_CONFIG_DIR", registry_.dir().path().string()}}});
  }
  test::RegistryDir registry_;
};

TEST_F(ShopifyCli, BuildOutputPreviewsRoundTrip) {
  CliResult built =
      run({"build", "--operation", "update_price", "--site-id", "7", "--variant-ids", "111, 222",
           "--product-id", "999", "--data", R"({"price": "19.99", "备注": "促销"})"});
  ASSERT_EQ(built.exit_code, 0) << built.err;
  EXPECT_EQ(built.err, "");
  Json payload = Json::parse(built.out);
  EXPECT_EQ(payload["task_content"]["shopify_product_variant_id"], Json({111, 222}));
  EXPECT_EQ(payload["task_content"]["shopify_product_id"], 999);
  EXPECT_EQ(payload["task_content"]["data_content"], Json({{"price", "19.99"}, {"备注", "促销"}}));
  EXPECT_EQ(payload["feed_task_template_id"], 1024);

  // The exact output of build, from a file and from stdin.
  testing::write_file(registry_.dir() / "out.json", built.out);
  CliResult from_file = run({"preview", "--operation", "update_price", "--site-id", "7",
                             "--payload", "@" + (registry_.dir() / "out.json").string()});
  CliResult from_stdin = run(
      {"preview", "--operation", "update_price", "--site-id", "7", "--payload", "-"}, built.out);
  for (const CliResult* previewed : {&from_file, &from_stdin}) {
    ASSERT_EQ(previewed->exit_code, 0) << previewed->err;
    Json preview = Json::parse(previewed->out);
    EXPECT_EQ(preview["variant_count"], 2);
    EXPECT_EQ(preview["product_id"], 999);
    EXPECT_EQ(preview["operate_method"], "updatePrice");
    EXPECT_EQ(preview["payload"].dump(), payload.dump());  // member order kept too
  }
}

TEST_F(ShopifyCli, ProductIdKeepsIntegersAndTextAndDefaultsToNull) {
  auto product_of = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"build", "--operation",   "update_sku", "--site-id",
                                     "3.9",   "--variant-ids", "1"};
    args.insert(args.end(), extra.begin(), extra.end());
    CliResult result = run(args);
    EXPECT_EQ(result.exit_code, 0) << result.err;
    Json payload = Json::parse(result.out);
    EXPECT_EQ(payload["task_content"]["data_content"], Json::object());
    return payload["task_content"]["shopify_product_id"];
  };
  EXPECT_EQ(product_of({"--product-id", "42"}), 42);
  EXPECT_EQ(product_of({"--product-id", "SKU-42"}), "SKU-42");
  EXPECT_EQ(product_of({"--product-id", "4.2"}), "4.2");
  EXPECT_TRUE(product_of({}).is_null());
}

TEST_F(ShopifyCli, BadInputIsAChineseErrorWithItsCode) {
  struct Case {
    std::vector<std::string> args;
    std::string code;
    std::string message;
  };
  const std::vector<std::string> build = {"build", "--operation", "update_price"};
  auto b = [&](std::vector<std::string> more) {
    std::vector<std::string> args = build;
    args.insert(args.end(), more.begin(), more.end());
    return args;
  };
  const std::vector<Case> cases = {
      {b({"--site-id", "1", "--variant-ids", "1", "--data", "{oops"}), "INVALID_INPUT",
       "--data 不是有效的 JSON"},
      {b({"--site-id", "1", "--variant-ids", "1", "--data", "[1]"}), "INVALID_INPUT",
       "--data 必须是 JSON 对象"},
      {b({"--site-id", "0", "--variant-ids", ""}), "SHOPIFY_PARAMS_ERROR", "site_id 不能为空"},
      {b({"--site-id", "5", "--variant-ids", ""}), "SHOPIFY_PARAMS_ERROR",
       "shopify_product_variant_id 不能为空"},
      {{"build", "--operation", "nope", "--site-id", "1", "--variant-ids", "1"},
       "SHOPIFY_UNKNOWN_OPERATION",
       "update_price"},
      {{"preview", "--operation", "update_price", "--site-id", "1", "--payload", "[]"},
       "INVALID_INPUT",
       "--payload 必须是 JSON 对象"},
      // What build refuses, preview refuses too.
      {{"preview", "--operation", "update_price", "--site-id", "1", "--payload",
        R"({"task_content":{"shopify_product_variant_id":[1,"2"]}})"},
       "SHOPIFY_INVALID_ARGUMENT",
       "shopify_product_variant_id 的元素 必须是整数"},
      {{"preview", "--operation", "update_price", "--site-id", "1", "--payload",
        R"({"task_content":{"shopify_product_variant_id":[1.5],"shopify_product_id":2}})"},
       "SHOPIFY_INVALID_ARGUMENT",
       "必须是整数"},
      {{"preview", "--operation", "update_price", "--site-id", "1", "--payload",
        R"({"task_content":{"shopify_product_id":{"id":2}}})"},
       "SHOPIFY_INVALID_ARGUMENT",
       "shopify_product_id 必须是整数、文本或空值"},
  };
  for (const Case& c : cases) {
    CliResult result = run(c.args);
    EXPECT_EQ(result.exit_code, 1) << c.message;
    EXPECT_EQ(result.out, "") << c.message;
    EXPECT_NE(result.err.find("错误 [" + c.code + "]："), std::string::npos) << result.err;
    EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  }
}

// Integers are checked by the command line, alike for every option: what is no number, or lies
// beyond the 64-bit range, is a usage error; nothing is clamped.
TEST_F(ShopifyCli, IntegerOptionsOutOfRangeOrMalformedAreUsageErrors) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--site-id", "abc", "--variant-ids", "1"}, "--site-id: 必须是数字"},
      {{"--site-id", "true", "--variant-ids", "1"}, "--site-id: 必须是数字"},
      {{"--site-id", "18446744073709551615", "--variant-ids", "1"}, "--site-id: 超出范围"},
      {{"--site-id", "1e20", "--variant-ids", "1"}, "--site-id: 超出范围"},
      {{"--site-id", "9223372036854775808", "--variant-ids", "1"}, "--site-id: 超出范围"},
      {{"--site-id", "1", "--variant-ids", "1,x"}, "--variant-ids"},
      {{"--site-id", "1", "--variant-ids", "1,,2"}, "--variant-ids"},
      {{"--site-id", "1", "--variant-ids", "1.5"}, "--variant-ids"},
      {{"--site-id", "1", "--variant-ids", "1,99999999999999999999"}, "超出范围"},
      {{"--site-id", "1", "--variant-ids", "1", "--product-id", "-99999999999999999999"},
       "--product-id: 超出范围"},
  };
  for (const auto& [extra, expected] : cases) {
    std::vector<std::string> args = {"build", "--operation", "update_price"};
    args.insert(args.end(), extra.begin(), extra.end());
    CliResult result = run(args);
    EXPECT_EQ(result.exit_code, 2) << expected;
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find(expected), std::string::npos) << result.err;
  }
  CliResult preview =
      run({"preview", "--operation", "update_price", "--site-id", "-1e19", "--payload", "{}"});
  EXPECT_EQ(preview.exit_code, 2);
  EXPECT_NE(preview.err.find("--site-id: 超出范围"), std::string::npos) << preview.err;

  CliResult edge = run({"build", "--operation", "update_price", "--site-id", "9223372036854775807",
                        "--variant-ids", "-9223372036854775808"});
  ASSERT_EQ(edge.exit_code, 0) << edge.err;
  Json payload = Json::parse(edge.out);
  EXPECT_EQ(payload["task_content"]["shopify_product_variant_id"], Json::array({INT64_MIN}));
}

TEST_F(ShopifyCli, HelpIsChineseAndMissingOptionsAreUsageErrors) {
  CliResult help = run({"build", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("逗号分隔的整数"), std::string::npos) << help.out;
  CliResult group_help = run({"--help"});
  EXPECT_NE(group_help.out.find("不会提交"), std::string::npos) << group_help.out;
  CliResult missing = run({"preview", "--operation", "update_price", "--site-id", "1"});
  EXPECT_EQ(missing.exit_code, 2);
  EXPECT_NE(missing.err.find("--payload"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace vendro::shopify
