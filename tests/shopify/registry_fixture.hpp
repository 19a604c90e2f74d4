#pragma once
// A temporary CONFIG_DIR holding a Shopify template registry, for the Shopify tests.

#include <string>

#include "support/temp_dir.hpp"

namespace vendro::shopify::test {

inline constexpr const char* kTemplates = R"(operations:
  update_price:
    template_id: 1024
    form_ref: elForm
    label: 修改价格
    image: https://example.invalid/price.png
    operate_method: updatePrice
  update_sku:
    template_id: "T-2048"
    form_ref: skuForm
    label: 修改 SKU
    image: https://example.invalid/sku.png
    operate_method: updateSku
)";

class RegistryDir {
 public:
  explicit RegistryDir(const std::string& templates = kTemplates)
      : env_("VENDRO_CONFIG_DIR", dir_.path().string()) {
    if (!templates.empty()) write(templates);
  }
  void write(const std::string& templates) const {
    testing::write_file(dir_ / "shopify/templates.yaml", templates);
  }
  const testing::TempDir& dir() const { return dir_; }

 private:
  testing::TempDir dir_;
  testing::ScopedEnv env_;
};

}  // namespace vendro::shopify::test
