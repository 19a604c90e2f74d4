// `vendro shopify build|preview`: Nimbra createCustomTask payloads for Shopify variant
// operations, built and previewed locally; nothing is submitted.

#include <cstdint>
#include <string>

#include "vendro/commands/groups.hpp"
#include "vendro/commands/value_rules.hpp"
#include "vendro/core/error.hpp"
#include "vendro/shopify/task_bodysmith.hpp"
#include "vendro/shopify/template_registry.hpp"

namespace vendro::commands {

namespace {

// "--site-id": any number; a fraction is dropped toward zero.
constexpr IntegerRules SITE_ID_RULES{.truncate_fraction = true};

// "--product-id": an integer stays an integer, any other text stays text; digits beyond the
// 64-bit range are a mistake, not text.
Json product_id_value(const std::string& text) {
  if (auto id = parse_integer(text).value) return *id;
  return text;
}

// "--product-id": refused only for digits beyond the 64-bit range.
std::string product_id_error(const std::string& value) {
  ParsedInteger id = parse_integer(value);
  return id.out_of_range ? id.error : std::string();
}

const std::string kJsonSource = "内联 JSON，@文件 读取文件，- 读取标准输入";

Param operation_param(const std::string& help) {
  return {.name = "operation", .help = help, .required = true};
}

Param site_id_param(const std::string& help) {
  return {.name = "site-id",
          .type = ParamType::integer,
          .help = help,
          .required = true,
          .integer_rules = SITE_ID_RULES,
          .schema = {{"type", {"integer", "number", "string"}}}};
}

}  // namespace

void add_shopify_commands(Table& table) {
  table.groups.push_back(
      {.path = {"shopify"},
       .description =
           "Shopify 商品变体任务：生成并预览 Nimbra createCustomTask 请求体（不会提交）。\n"
           "操作模板读取自 " +
           shopify::template_registry_path().string() +
           "（VENDRO_CONFIG_DIR 可替换配置目录），示例见 examples/shopify-templates.yaml。"});

  table.commands.push_back({
      .path = {"shopify", "build"},
      .summary = "生成 createCustomTask 请求体，输出 JSON。",
      .params = {operation_param("操作名称（模板配置中的键，如 update_price）"),
                 site_id_param("站点 ID（数字，不能为 0）"),
                 {.name = "variant-ids",
                  .help = "Shopify 商品变体 ID，逗号分隔的整数，如 1,2",
                  .required = true,
                  .check =
                      [](const std::string& value) { return parse_integer_list(value).error; }},
                 {.name = "product-id",
                  .help = "Shopify 商品 ID（整数按整数传递，其他文本按文本传递；省略为 null）",
                  .check = product_id_error,
                  .schema = {{"type", {"integer", "string"}}}},
                 {.name = "data",
                  .type = ParamType::json_object,
                  .help = "任务表单数据（JSON 对象；" + kJsonSource + "），省略为 {}"}},
      .effects = {.read_only = true, .idempotent = true},
      .run =
          [](const Arguments& args, Context& context) {
            shopify::BuildRequest request{
                .operation = args.text("operation"),
                .site_id = args.get("site-id"),
                .data_content = args.has("data") ? args.get("data") : Json::object(),
                .variant_ids = parse_integer_list(args.text("variant-ids")).values,
                .product_id =
                    args.has("product-id") ? product_id_value(args.text("product-id")) : Json(),
            };
            context.output.put(shopify::ShopifyTaskBodysmith{}.build(request));
          },
  });

  table.commands.push_back({
      .path = {"shopify", "preview"},
      .summary = "预览请求体（dry run）：列出操作、模板、变体和商品，不会提交任何任务。",
      .params = {operation_param("操作名称（模板配置中的键）"),
                 site_id_param("站点 ID（数字）"),
                 {.name = "payload",
                  .type = ParamType::json_object,
                  .help = "要预览的请求体，通常是 build 的输出（JSON 对象；" + kJsonSource + "）",
                  .required = true}},
      .effects = {.read_only = true, .idempotent = true},
      .run =
          [](const Arguments& args, Context& context) {
            shopify::PreviewRequest request{
                .operation = args.text("operation"),
                .site_id = args.get("site-id"),
                .payload = args.get("payload"),
            };
            context.output.put(shopify::ShopifyTaskBodysmith{}.preview(request));
          },
  });
}

}  // namespace vendro::commands
