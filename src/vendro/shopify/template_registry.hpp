#pragma once
// The per-operation settings of Shopify tasks (template, form reference, label, image, operate
// method), read from CONFIG_DIR/shopify/templates.yaml:
//
//   operations:
//     update_price:
//       template_id: 1024
//       form_ref: elForm
//       label: 修改价格
//       image: https://example.invalid/price.png
//       operate_method: updatePrice
//
// The file is read on every call (no cache), so edits take effect at once. Blocking file I/O;
// safe to call from several threads.

#include <filesystem>
#include <string>

#include "vendro/core/json.hpp"
#include "vendro/shopify/errors.hpp"

namespace vendro::shopify {

// One operation's settings. The values are the YAML values as they are (template_id stays
// whatever type the file gave it) and are copied into task payloads unchanged.
struct OperationConfig {
  Json template_id;
  Json form_ref;
  Json label;
  Json image;
  Json operate_method;
};

// CONFIG_DIR/shopify/templates.yaml.
std::filesystem::path template_registry_path();

// The settings of `operation`. Throws ShopifyUnknownOperationError when the registry does not
// know it, and ShopifyTemplateError when the file is missing, unreadable or malformed, has no
// "operations" map, or the operation's entry lacks one of the five settings (or leaves it empty).
OperationConfig get_operation_config(const std::string& operation);

}  // namespace vendro::shopify
