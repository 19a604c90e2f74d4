#include "vendro/shopify/template_registry.hpp"

#include <gtest/gtest.h>

#include <functional>

#include "shopify/registry_fixture.hpp"

namespace vendro::shopify {
namespace {

using test::RegistryDir;

// The message of the error `call` throws, checked to be of type E.
template <typename E>
std::string message_of(const std::function<void()>& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  } catch (const std::exception& e) {
    ADD_FAILURE() << "wrong error type: " << e.what();
    return "";
  }
  ADD_FAILURE() << "no error";
  return "";
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(TemplateRegistry, ReadsTheOperationFromConfigDir) {
  RegistryDir registry;
  EXPECT_EQ(template_registry_path(), registry.dir() / "shopify/templates.yaml");
  OperationConfig price = get_operation_config("update_price");
  EXPECT_EQ(price.template_id, 1024);
  EXPECT_EQ(price.form_ref, "elForm");
  EXPECT_EQ(price.label, "修改价格");
  EXPECT_EQ(price.image, "https://example.invalid/price.png");
  EXPECT_EQ(price.operate_method, "updatePrice");
  EXPECT_EQ(get_operation_config("update_sku").template_id, "T-2048");
}

TEST(TemplateRegistry, UnknownOperationListsTheKnownOnes) {
  RegistryDir registry;
  std::string message =
      message_of<ShopifyUnknownOperationError>([] { get_operation_config("update_title"); });
  EXPECT_TRUE(contains(message, "update_title")) << message;
  EXPECT_TRUE(contains(message, "update_price、update_sku")) << message;

  registry.write("operations: {}\n");
  message = message_of<ShopifyUnknownOperationError>([] { get_operation_config("update_price"); });
  EXPECT_TRUE(contains(message, "没有任何操作")) << message;
}

TEST(TemplateRegistry, BrokenFilesFailWithTheFileNamed) {
  RegistryDir registry("");
  const std::string path = template_registry_path().string();
  auto template_error = [] {
    return message_of<ShopifyTemplateError>([] { get_operation_config("update_price"); });
  };

  std::string message = template_error();
  EXPECT_TRUE(contains(message, "不存在") && contains(message, path)) << message;

  registry.write("operations:\n  update_price: [unclosed\n");
  message = template_error();
  EXPECT_TRUE(contains(message, path)) << message;

  registry.write("operations:\n  update_price: !!python/object:os.system {}\n");
  message = template_error();
  EXPECT_TRUE(contains(message, path)) << message;

  for (const char* text : {"", "- a\n- b\n", "other: 1\n", "operations: [update_price]\n"}) {
    registry.write(text);
    message = template_error();
    EXPECT_TRUE(contains(message, "operations") && contains(message, path)) << text << message;
  }

  registry.write("operations:\n  update_price: 5\n");
  message = template_error();
  EXPECT_TRUE(contains(message, "update_price") && contains(message, path)) << message;

  registry.write(
      "operations:\n  update_price:\n    template_id: 1\n    form_ref: f\n    label: l\n"
      "    image: i\n    operate_method:\n");
  message = template_error();
  EXPECT_TRUE(contains(message, "operate_method") && contains(message, path)) << message;

  registry.write("operations:\n  update_price:\n    template_id: 1\n    form_ref: f\n");
  message = template_error();
  EXPECT_TRUE(contains(message, "缺少字段：label")) << message;
}

TEST(TemplateRegistry, TheShippedExampleIsAWorkingRegistry) {
  RegistryDir registry(testing::read_file(VENDRO_SOURCE_DIR "/examples/shopify-templates.yaml"));
  const Json doc = Json::parse(R"(["update_price", "update_inventory", "update_sku"])");
  for (const std::string operation : doc) {
    OperationConfig config = get_operation_config(operation);
    EXPECT_TRUE(config.template_id.is_number_integer()) << operation;
    EXPECT_TRUE(config.operate_method.is_string()) << operation;
  }
}

}  // namespace
}  // namespace vendro::shopify
