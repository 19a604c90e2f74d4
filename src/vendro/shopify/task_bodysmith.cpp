#include "vendro/shopify/task_bodysmith.hpp"

#include <chrono>
#include <cmath>
#include <string>

#include "vendro/shopify/template_registry.hpp"

namespace vendro::shopify {

namespace {

// A JSON type name the operator can read in an error message.
std::string type_name(const Json& value) {
  switch (value.type()) {
    case Json::value_t::null:
      return "空值";
    case Json::value_t::boolean:
      return "布尔值";
    case Json::value_t::number_integer:
    case Json::value_t::number_unsigned:
      return "整数";
    case Json::value_t::number_float:
      return "小数";
    case Json::value_t::string:
      return "文本";
    case Json::value_t::array:
      return "列表";
    case Json::value_t::object:
      return "对象";
    default:
      return "未知类型";
  }
}

[[noreturn]] void wrong_type(const std::string& name, const std::string& expected,
                             const Json& value) {
  throw ShopifyArgumentError(name + " 必须是" + expected + "，收到的是" + type_name(value));
}

const std::string& require_text(const Json& value, const std::string& name) {
  if (!value.is_string()) wrong_type(name, "文本", value);
  return value.get_ref<const std::string&>();
}

void require_object(const Json& value, const std::string& name) {
  if (!value.is_object()) wrong_type(name, " JSON 对象", value);
}

// An integer site id; a fraction is truncated toward zero. Booleans, text and non-finite or
// out-of-range numbers are caller errors.
Json to_site_id(const Json& value) {
  if (value.is_number_integer()) return value;  // signed and unsigned alike
  if (!value.is_number_float()) wrong_type("site_id", "数字", value);
  double number = std::trunc(value.get<double>());
  // 2^63 is exactly representable; anything at or beyond it does not fit an int64.
  constexpr double kLimit = 9223372036854775808.0;
  if (!std::isfinite(number) || number >= kLimit || number < -kLimit) {
    throw ShopifyArgumentError("site_id 超出整数范围：" + value.dump());
  }
  return static_cast<std::int64_t>(number);
}

// What build() accepts, so that preview() accepts no payload that build() could not make.
void require_variant_ids(const Json& value, const std::string& name) {
  if (!value.is_array()) wrong_type(name, "整数列表", value);
  for (const Json& id : value) {
    if (!id.is_number_integer()) wrong_type(name + " 的元素", "整数", id);
  }
}

void require_product_id(const Json& value, const std::string& name) {
  if (!value.is_null() && !value.is_number_integer() && !value.is_string()) {
    wrong_type(name, "整数、文本或空值", value);
  }
}

bool is_zero(const Json& site_id) {
  return site_id.is_number_unsigned() ? site_id.get<std::uint64_t>() == 0
                                      : site_id.get<std::int64_t>() == 0;
}

std::chrono::system_clock::duration since_epoch() {
  return std::chrono::system_clock::now().time_since_epoch();
}

}  // namespace

Json ShopifyTaskBodysmith::build(const BuildRequest& request) const {
  const std::string& operation = require_text(request.operation, "operation");
  const Json site_id = to_site_id(request.site_id);
  require_object(request.data_content, "data_content");
  require_variant_ids(request.variant_ids, "variant_ids");
  require_product_id(request.product_id, "product_id");

  if (is_zero(site_id)) throw ShopifyParamsError("site_id 不能为空");
  if (request.variant_ids.empty()) throw ShopifyParamsError("shopify_product_variant_id 不能为空");

  const OperationConfig config = get_operation_config(operation);
  const auto now_ms = std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch()).count();

  Json field_config = Json::object();
  field_config["image"] = config.image;
  field_config["label"] = config.label;
  field_config["formId"] = 1;
  field_config["layout"] = "newPage";
  field_config["viewType"] = 2;
  field_config["renderKey"] = std::to_string(now_ms);
  field_config["showLabel"] = false;
  field_config["permission"] = Json::array({1});
  field_config["isExclusive"] = true;
  field_config["defaultValue"] = "";
  field_config["operateMethod"] = config.operate_method;
  field_config["filterComponents"] = Json::array();

  Json field = Json::object();
  field["__config__"] = std::move(field_config);

  Json template_content = Json::object();
  template_content["fields"] = Json::array({std::move(field)});
  template_content["formRef"] = config.form_ref;
  template_content["labelWidth"] = 100;
  template_content["globalSetting"] = Json::array();
  template_content["labelPosition"] = "left";
  template_content["conditionGroups"] = Json::array();

  Json task_content = Json::object();
  task_content["template_content"] = std::move(template_content);
  task_content["data_content"] = request.data_content;
  task_content["original_data_content"] = nullptr;
  task_content["shopify_product_variant_id"] = request.variant_ids;
  task_content["shopify_product_id"] = request.product_id;

  Json payload = Json::object();
  payload["task_content"] = std::move(task_content);
  payload["approve_state"] = 2;
  payload["task_id"] = "";
  payload["feed_task_template_id"] = config.template_id;
  payload["confirm_button"] = Json::array();
  // Read the clock again: "_t" is the moment of assembly, in whole seconds.
  payload["_t"] = std::chrono::duration_cast<std::chrono::seconds>(since_epoch()).count();
  return payload;
}

Json ShopifyTaskBodysmith::preview(const PreviewRequest& request) const {
  const std::string& operation = require_text(request.operation, "operation");
  const Json site_id = to_site_id(request.site_id);
  require_object(request.payload, "payload");

  Json task_content = Json::object();
  if (auto it = request.payload.find("task_content"); it != request.payload.end() && truthy(*it)) {
    require_object(*it, "payload.task_content");
    task_content = *it;
  }
  Json variant_ids = Json::array();
  if (auto it = task_content.find("shopify_product_variant_id");
      it != task_content.end() && truthy(*it)) {
    require_variant_ids(*it, "payload.task_content.shopify_product_variant_id");
    variant_ids = *it;
  }
  Json product_id;
  if (auto it = task_content.find("shopify_product_id"); it != task_content.end()) {
    require_product_id(*it, "payload.task_content.shopify_product_id");
    product_id = *it;
  }

  const OperationConfig config = get_operation_config(operation);

  Json preview = Json::object();
  preview["dry_run"] = true;
  preview["will_submit"] = false;
  preview["submit_target"] = SUBMIT_TARGET;
  preview["direct_shopify_api"] = false;
  preview["operation"] = operation;
  preview["operate_method"] = config.operate_method;
  preview["template_id"] = config.template_id;
  preview["site_id"] = site_id;
  preview["variant_count"] = variant_ids.size();
  preview["variant_ids"] = std::move(variant_ids);
  preview["product_id"] = std::move(product_id);
  preview["payload"] = request.payload;
  return preview;
}

}  // namespace vendro::shopify
