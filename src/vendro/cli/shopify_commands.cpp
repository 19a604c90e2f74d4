// `vendro shopify build|preview`: Nimbra createCustomTask payloads for Shopify variant
// operations, built and previewed locally; nothing is submitted.

#include <cstdint>
#include <string>

#include "vendro/cli/groups.hpp"
#include "vendro/cli/option_values.hpp"
#include "vendro/core/error.hpp"
#include "vendro/shopify/task_bodysmith.hpp"
#include "vendro/shopify/template_registry.hpp"

namespace vendro::cli {

namespace {

// "--site-id": any number; a fraction is dropped toward zero.
constexpr IntegerRules SITE_ID_RULES{.truncate_fraction = true};

Json site_id_value(const std::string& text) {
  return *parse_integer(text, SITE_ID_RULES).value;
}

// "--product-id": an integer stays an integer, any other text stays text; digits beyond the
// 64-bit range are a mistake, not text.
Json product_id_value(const std::string& text) {
  if (auto id = parse_integer(text).value) return *id;
  return text;
}

CLI::Validator product_id_check() {
  return CLI::Validator(
      [](std::string& value) {
        ParsedInteger id = parse_integer(value);
        return id.out_of_range ? id.error : std::string();
      },
      "ID");
}

Json read_json_object(const std::string& value, const std::string& option) {
  Json doc = read_json_argument(value, option);
  if (!doc.is_object()) throw InputError(option + " 必须是 JSON 对象");
  return doc;
}

struct BuildArgs {
  std::string operation;
  std::string site_id;
  std::string variant_ids;
  std::optional<std::string> product_id;
  std::optional<std::string> data;
};

struct PreviewArgs {
  std::string operation;
  std::string site_id;
  std::string payload;
};

const std::string kJsonSource = "内联 JSON，@文件 读取文件，- 读取标准输入";

}  // namespace

void add_shopify_commands(CLI::App& app, Action& selected) {
  CLI::App* group = app.add_subcommand(
      "shopify",
      "Shopify 商品变体任务：生成并预览 Nimbra createCustomTask 请求体（不会提交）。\n"
      "操作模板读取自 " +
          shopify::template_registry_path().string() +
          "（VENDRO_CONFIG_DIR 可替换配置目录），示例见 examples/shopify-templates.yaml。");
  group->require_subcommand(1);

  auto build_args = std::make_shared<BuildArgs>();
  CLI::App* build = group->add_subcommand("build", "生成 createCustomTask 请求体，输出 JSON。");
  build
      ->add_option("--operation", build_args->operation,
                   "操作名称（模板配置中的键，如 update_price）")
      ->required();
  build->add_option("--site-id", build_args->site_id, "站点 ID（数字，不能为 0）")
      ->required()
      ->check(integer_check(SITE_ID_RULES));
  build
      ->add_option("--variant-ids", build_args->variant_ids,
                   "Shopify 商品变体 ID，逗号分隔的整数，如 1,2")
      ->required()
      ->check(integer_list_check());
  build
      ->add_option("--product-id", build_args->product_id,
                   "Shopify 商品 ID（整数按整数传递，其他文本按文本传递；省略为 null）")
      ->check(product_id_check());
  build->add_option("--data", build_args->data,
                    "任务表单数据（JSON 对象；" + kJsonSource + "），省略为 {}");
  build->callback([build_args, &selected] {
    selected = [args = *build_args]() -> std::optional<Json> {
      shopify::BuildRequest request{
          .operation = args.operation,
          .site_id = site_id_value(args.site_id),
          .data_content = args.data ? read_json_object(*args.data, "--data") : Json::object(),
          .variant_ids = parse_integer_list(args.variant_ids).values,
          .product_id = args.product_id ? product_id_value(*args.product_id) : Json(),
      };
      return shopify::ShopifyTaskBodysmith{}.build(request);
    };
  });

  auto preview_args = std::make_shared<PreviewArgs>();
  CLI::App* preview = group->add_subcommand(
      "preview", "预览请求体（dry run）：列出操作、模板、变体和商品，不会提交任何任务。");
  preview->add_option("--operation", preview_args->operation, "操作名称（模板配置中的键）")
      ->required();
  preview->add_option("--site-id", preview_args->site_id, "站点 ID（数字）")
      ->required()
      ->check(integer_check(SITE_ID_RULES));
  preview
      ->add_option("--payload", preview_args->payload,
                   "要预览的请求体，通常是 build 的输出（JSON 对象；" + kJsonSource + "）")
      ->required();
  preview->callback([preview_args, &selected] {
    selected = [args = *preview_args]() -> std::optional<Json> {
      shopify::PreviewRequest request{
          .operation = args.operation,
          .site_id = site_id_value(args.site_id),
          .payload = read_json_object(args.payload, "--payload"),
      };
      return shopify::ShopifyTaskBodysmith{}.preview(request);
    };
  });
}

}  // namespace vendro::cli
