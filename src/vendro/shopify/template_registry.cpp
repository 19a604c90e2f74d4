#include "vendro/shopify/template_registry.hpp"

#include <array>
#include <string_view>
#include <system_error>

#include "vendro/core/environment.hpp"
#include "vendro/core/yaml.hpp"

namespace vendro::shopify {

namespace {

constexpr std::array<std::string_view, 5> kSettingKeys = {"template_id", "form_ref", "label",
                                                          "image", "operate_method"};

Json load_operations(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) {
    throw ShopifyTemplateError("Shopify 模板配置文件不存在：" + path.string() +
                               "（请参考 examples/shopify-templates.yaml 创建）");
  }
  Json doc;
  try {
    doc = yaml::load_file(path);
  } catch (const Error&) {
    std::throw_with_nested(ShopifyTemplateError("无法读取 Shopify 模板配置文件：" + path.string()));
  }
  if (!doc.is_object() || !doc.contains("operations") || !doc["operations"].is_object()) {
    throw ShopifyTemplateError("Shopify 模板配置文件缺少 operations 映射：" + path.string());
  }
  return doc["operations"];
}

std::string known_operations(const Json& operations) {
  if (operations.empty()) return "配置中没有任何操作";
  std::string names;
  for (const auto& [name, _] : operations.items()) {
    if (!names.empty()) names += "、";
    names += name;
  }
  return "可用操作：" + names;
}

}  // namespace

std::filesystem::path template_registry_path() {
  return config_dir() / "shopify" / "templates.yaml";
}

OperationConfig get_operation_config(const std::string& operation) {
  const auto path = template_registry_path();
  const Json operations = load_operations(path);
  auto it = operations.find(operation);
  if (it == operations.end()) {
    throw ShopifyUnknownOperationError("未知的 Shopify 操作：" + operation + "（" +
                                       known_operations(operations) + "）");
  }
  const Json& entry = *it;
  if (!entry.is_object()) {
    throw ShopifyTemplateError("Shopify 模板配置文件 " + path.string() + " 中操作 " + operation +
                               " 的配置必须是映射");
  }
  for (std::string_view key : kSettingKeys) {
    auto field = entry.find(key);
    if (field == entry.end() || field->is_null()) {
      throw ShopifyTemplateError("Shopify 模板配置文件 " + path.string() + " 中操作 " + operation +
                                 " 缺少字段：" + std::string(key));
    }
  }
  return OperationConfig{
      .template_id = entry["template_id"],
      .form_ref = entry["form_ref"],
      .label = entry["label"],
      .image = entry["image"],
      .operate_method = entry["operate_method"],
  };
}

}  // namespace vendro::shopify
