#include "vendro/shopify/task_bodysmith.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "shopify/registry_fixture.hpp"

namespace vendro::shopify {
namespace {

using test::RegistryDir;

std::int64_t now_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

BuildRequest price_request() {
  return {.operation = "update_price",
          .site_id = 7,
          .data_content = Json{{"price", "19.99"}, {"备注", "促销"}},
          .variant_ids = {111, 222},
          .product_id = 999};
}

// The payload with its two clock readings replaced by fixed markers.
Json without_clock(Json payload) {
  payload["task_content"]["template_content"]["fields"][0]["__config__"]["renderKey"] = "RK";
  payload["_t"] = 0;
  return payload;
}

TEST(ShopifyTaskBodysmith, BuildsThePayloadInItsExactShapeAndOrder) {
  RegistryDir registry;
  const auto before_ms = now_ms();
  Json payload = ShopifyTaskBodysmith{}.build(price_request());
  const auto after_ms = now_ms();

  // renderKey is milliseconds as decimal text, "_t" whole seconds, both from the wall clock.
  const Json& config = payload["task_content"]["template_content"]["fields"][0]["__config__"];
  ASSERT_TRUE(config["renderKey"].is_string());
  const std::string render_key = config["renderKey"];
  ASSERT_EQ(render_key.find_first_not_of("0123456789"), std::string::npos) << render_key;
  const auto render_ms = std::stoll(render_key);
  EXPECT_GE(render_ms, before_ms);
  EXPECT_LE(render_ms, after_ms);
  ASSERT_TRUE(payload["_t"].is_number_integer());
  EXPECT_GE(payload["_t"].get<std::int64_t>(), before_ms / 1000);
  EXPECT_LE(payload["_t"].get<std::int64_t>(), after_ms / 1000);

  EXPECT_EQ(
      to_compact_json(without_clock(payload)),
      R"({"task_content":{"template_content":{"fields":[{"__config__":{)"
      R"("image":"https://example.invalid/price.png","label":"修改价格","formId":1,)"
      R"("layout":"newPage","viewType":2,"renderKey":"RK","showLabel":false,"permission":[1],)"
      R"("isExclusive":true,"defaultValue":"","operateMethod":"updatePrice",)"
      R"("filterComponents":[]}}],"formRef":"elForm","labelWidth":100,"globalSetting":[],)"
      R"("labelPosition":"left","conditionGroups":[]},)"
      R"("data_content":{"price":"19.99","备注":"促销"},"original_data_content":null,)"
      R"("shopify_product_variant_id":[111,222],"shopify_product_id":999},)"
      R"("approve_state":2,"task_id":"","feed_task_template_id":1024,"confirm_button":[],"_t":0})");
}

TEST(ShopifyTaskBodysmith, TwoBuildsDifferOnlyInTheClockFields) {
  RegistryDir registry;
  ShopifyTaskBodysmith smith;
  Json first = smith.build(price_request());
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  Json second = smith.build(price_request());
  EXPECT_NE(first["task_content"]["template_content"]["fields"][0]["__config__"]["renderKey"],
            second["task_content"]["template_content"]["fields"][0]["__config__"]["renderKey"]);
  EXPECT_EQ(without_clock(first), without_clock(second));
}

TEST(ShopifyTaskBodysmith, CarriesCallerValuesAndRegistryValuesAsTheyAre) {
  RegistryDir registry;
  ShopifyTaskBodysmith smith;
  BuildRequest request = price_request();
  request.operation = "update_sku";
  request.product_id = nullptr;
  Json payload = smith.build(request);
  // A null product stays null; it is never derived from the variants.
  EXPECT_TRUE(payload["task_content"]["shopify_product_id"].is_null());
  // template_id keeps the type the YAML gave it.
  EXPECT_EQ(payload["feed_task_template_id"], "T-2048");

  request.product_id = "gid://shopify/Product/1";
  EXPECT_EQ(smith.build(request)["task_content"]["shopify_product_id"], "gid://shopify/Product/1");
}

TEST(ShopifyTaskBodysmith, SiteIdFractionsAreTruncatedTowardZero) {
  RegistryDir registry;
  ShopifyTaskBodysmith smith;
  Json payload = smith.build(price_request());
  Json preview = smith.preview({.operation = "update_price", .site_id = 12.9, .payload = payload});
  EXPECT_EQ(preview["site_id"], 12);
  EXPECT_TRUE(preview["site_id"].is_number_integer());
  preview = smith.preview({.operation = "update_price", .site_id = -3.7, .payload = payload});
  EXPECT_EQ(preview["site_id"], -3);

  // -0.5 truncates to 0, which is an empty site.
  BuildRequest request = price_request();
  request.site_id = -0.5;
  EXPECT_THROW(smith.build(request), ShopifyParamsError);
}

TEST(ShopifyTaskBodysmith, ParameterErrorsComeInOrderAndBeforeTheRegistry) {
  // No registry file at all: the parameter checks must fail first.
  RegistryDir registry("");
  ShopifyTaskBodysmith smith;
  auto message_of = [&](BuildRequest request) -> std::string {
    try {
      smith.build(request);
    } catch (const ShopifyParamsError& e) {
      EXPECT_EQ(e.code(), "SHOPIFY_PARAMS_ERROR");
      return e.what();
    }
    return "(no ShopifyParamsError)";
  };
  BuildRequest both_empty = price_request();
  both_empty.site_id = 0;
  both_empty.variant_ids = Json::array();
  EXPECT_EQ(message_of(both_empty), "site_id 不能为空");

  BuildRequest no_variants = price_request();
  no_variants.variant_ids = Json::array();
  EXPECT_EQ(message_of(no_variants), "shopify_product_variant_id 不能为空");

  // With valid parameters the registry is reached and reports the missing file.
  EXPECT_THROW(smith.build(price_request()), ShopifyTemplateError);
}

TEST(ShopifyTaskBodysmith, WrongArgumentTypesAreRejectedBeforeAnyStep) {
  RegistryDir registry("");
  ShopifyTaskBodysmith smith;
  auto expect_argument_error = [&](BuildRequest request, const std::string& fragment) {
    request.site_id = request.site_id.is_number() ? Json(0) : request.site_id;  // would fail next
    try {
      smith.build(request);
      ADD_FAILURE() << "accepted " << fragment;
    } catch (const ShopifyArgumentError& e) {
      EXPECT_NE(std::string(e.what()).find(fragment), std::string::npos) << e.what();
      EXPECT_TRUE(dynamic_cast<const InputError*>(&e) != nullptr);
    } catch (const std::exception& e) {
      ADD_FAILURE() << fragment << ": " << e.what();
    }
  };
  auto with = [](auto change) {
    BuildRequest request = price_request();
    change(request);
    return request;
  };
  expect_argument_error(with([](BuildRequest& r) { r.operation = 5; }), "operation");
  expect_argument_error(with([](BuildRequest& r) { r.operation = nullptr; }), "operation");
  expect_argument_error(with([](BuildRequest& r) { r.site_id = "7"; }), "site_id");
  expect_argument_error(with([](BuildRequest& r) { r.site_id = true; }), "site_id");
  expect_argument_error(with([](BuildRequest& r) { r.data_content = Json::array(); }),
                        "data_content");
  expect_argument_error(with([](BuildRequest& r) { r.variant_ids = "1,2"; }), "variant_ids");
  expect_argument_error(with([](BuildRequest& r) { r.variant_ids = {1, "2"}; }), "variant_ids");
  expect_argument_error(with([](BuildRequest& r) { r.variant_ids = {1.5}; }), "variant_ids");
  expect_argument_error(with([](BuildRequest& r) { r.product_id = 1.5; }), "product_id");
  expect_argument_error(with([](BuildRequest& r) { r.product_id = Json::object(); }), "product_id");

  PreviewRequest preview{.operation = "update_price", .site_id = "1", .payload = Json::object()};
  EXPECT_THROW(smith.preview(preview), ShopifyArgumentError);
  preview = {.operation = "update_price", .site_id = 1, .payload = Json::array()};
  EXPECT_THROW(smith.preview(preview), ShopifyArgumentError);
  preview = {.operation = "update_price", .site_id = 1, .payload = {{"task_content", "x"}}};
  EXPECT_THROW(smith.preview(preview), ShopifyArgumentError);
  // Variants and product are held to what build() accepts.
  for (const Json& task_content :
       {Json{{"shopify_product_variant_id", {1, "2"}}}, Json{{"shopify_product_variant_id", {1.5}}},
        Json{{"shopify_product_variant_id", "1,2"}}, Json{{"shopify_product_id", 1.5}},
        Json{{"shopify_product_id", Json::array()}}}) {
    preview = {
        .operation = "update_price", .site_id = 1, .payload = {{"task_content", task_content}}};
    EXPECT_THROW(smith.preview(preview), ShopifyArgumentError) << task_content;
  }
}

TEST(ShopifyTaskBodysmith, PreviewReportsThePayloadAndReturnsItUnchanged) {
  RegistryDir registry;
  ShopifyTaskBodysmith smith;
  Json payload = smith.build(price_request());
  payload["extra_member"] = Json{{"kept", true}};
  Json preview = smith.preview({.operation = "update_price", .site_id = 7, .payload = payload});
  EXPECT_EQ(
      to_compact_json(preview),
      R"({"dry_run":true,"will_submit":false,"submit_target":"nimbra_create_custom_task",)"
      R"("direct_shopify_api":false,"operation":"update_price","operate_method":"updatePrice",)"
      R"("template_id":1024,"site_id":7,"variant_count":2,"variant_ids":[111,222],)"
      R"("product_id":999,"payload":)" +
          to_compact_json(payload) + "}");
}

TEST(ShopifyTaskBodysmith, PreviewOfAPayloadWithoutTaskContent) {
  RegistryDir registry;
  ShopifyTaskBodysmith smith;
  for (const Json& payload : {Json::object(), Json{{"task_content", nullptr}, {"x", 1}},
                              Json{{"task_content", Json::object()}}}) {
    // site_id 0 is reported, not checked, in a preview.
    Json preview = smith.preview({.operation = "update_sku", .site_id = 0, .payload = payload});
    EXPECT_EQ(preview["dry_run"], true);
    EXPECT_EQ(preview["will_submit"], false);
    EXPECT_EQ(preview["variant_count"], 0);
    EXPECT_EQ(preview["variant_ids"], Json::array());
    EXPECT_TRUE(preview["product_id"].is_null());
    EXPECT_EQ(preview["template_id"], "T-2048");
    EXPECT_EQ(preview["site_id"], 0);
    EXPECT_EQ(preview["payload"], payload);
  }
}

TEST(ShopifyTaskBodysmith, PreviewOfAnUnknownOperationFailsInTheRegistry) {
  RegistryDir registry;
  EXPECT_THROW(ShopifyTaskBodysmith{}.preview(
                   {.operation = "nope", .site_id = 1, .payload = Json::object()}),
               ShopifyUnknownOperationError);
}

}  // namespace
}  // namespace vendro::shopify
