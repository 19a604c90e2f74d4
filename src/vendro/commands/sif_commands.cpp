// `vendro sif`: Sif site codes and multi-product compare exports.

#include <charconv>
#include <chrono>
#include <cmath>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vendro/commands/groups.hpp"
#include "vendro/commands/value_rules.hpp"
#include "vendro/core/text.hpp"
#include "vendro/sif/compare_provider.hpp"
#include "vendro/sif/compare_scenarios.hpp"
#include "vendro/sif/settings.hpp"
#include "vendro/sif/sites.hpp"

namespace vendro::commands {

namespace {

// "--timeout": seconds, from a millisecond to a day. Less would round to no timeout at all,
// and NaN, infinity or more would switch it off or overflow.
constexpr double MIN_TIMEOUT_SECONDS = 0.001;
constexpr double MAX_TIMEOUT_SECONDS = 86400;

// Every section name the module knows, with its other names: "sales（sale、销量…）、…、all".
std::string known_sections() {
  std::string list;
  for (const std::string& section : sif::default_compare_sections()) {
    std::string others;
    for (const auto& [alias, name] : sif::compare_section_aliases()) {
      if (name != section || alias == section) continue;
      others += (others.empty() ? "" : "、") + alias;
    }
    list += section + "（" + others + "）、";
  }
  return list + "all";
}

// "--sections": each comma piece must name a section (exactly, or in lower case), or be "all"
// or empty, both meaning every section. The module itself would skip unknown names silently.
std::string sections_error(const std::string& value) {
  const sif::SectionAliases& aliases = sif::compare_section_aliases();
  std::string_view rest = value;
  for (;;) {
    const std::size_t comma = rest.find(',');
    const std::string piece = text::strip(rest.substr(0, comma));
    const std::string lower = text::to_lower(piece);
    if (!piece.empty() && lower != "all" && !aliases.contains(piece) && !aliases.contains(lower)) {
      return "未知的板块「" + piece + "」，可用：" + known_sections();
    }
    if (comma == std::string_view::npos) return "";
    rest.remove_prefix(comma + 1);
  }
}

Param text_param(std::string name, std::string help) {
  return {.name = std::move(name), .help = std::move(help)};
}

Command site_command() {
  return {
      .path = {"sif", "site"},
      .summary = "把站点写法（us、美国站、GB…）换成 Sif 站点编码并输出",
      .footer = "示例：vendro sif site 英国站   # 输出 \"UK\"",
      .params = {{.name = "value",
                  .help = "站点：编码或中文名，如 US、uk、日本站；空文本表示 US",
                  .required = true,
                  .positional = true}},
      .effects = {.read_only = true, .idempotent = true},
      .output_schema = nullptr,
      .run = [](const Arguments& args,
                Context& context) { context.output.put(sif::normalize_site(args.text("value"))); },
  };
}

Command compare_command() {
  Command command{
      .path = {"sif", "compare"},
      .summary = "多产品对比导出：按板块下载 Sif 对比表格（xlsx），写入一个运行目录",
      .footer =
          "示例：vendro sif compare --asin B0AAAAAAA1,B0AAAAAAA2 --site 美国站 --sections "
          "销量,流量词\n"
          "结果以 JSON 输出；运行目录内有 params.json、raw.json、result.json 和各板块的 xlsx。\n"
          "Sif 地址与凭据见 ~/.config/vendro/sif/settings.yaml（VENDRO_CONFIG_DIR 可改配置目录）"
          "或环境变量 VENDRO_SIF_*。",
      .params = {{.name = "asin",
                  .help = "要对比的 ASIN，英文逗号分隔，至少 2 个",
                  .required = true},
                 text_param("site", "站点编码或中文名，默认 US"),
                 {.name = "sections",
                  .type = ParamType::text_list,
                  .help = "要导出的板块，可重复、可用逗号分隔：sales(销量) traffic_words(流量词) "
                          "traffic_score(流量分) my_traffic_keywords(重点流量词) "
                          "my_ad_keywords(重点广告词)，或 all；默认全部",
                  .check = sections_error},
                 text_param("job-id", "任务 ID，即运行目录名（不能含 / 或 ..）；默认自动生成"),
                 text_param("output-dir",
                            "输出目录，运行目录建在其下；默认取 Sif 配置的 output_dir，否则 ~/sif"),
                 text_param("time-piece-type", "时间段类型"),
                 text_param("time-piece-value", "时间段取值"),
                 text_param("my-asin", "我的 ASIN；默认第一个 ASIN"),
                 {.name = "page-num",
                  .type = ParamType::integer,
                  .help = "页码",
                  .integer_rules = {.min = 0}},
                 {.name = "page-size",
                  .type = ParamType::integer,
                  .help = "每页条数；不填时销量按 100、重点流量词/广告词按 10 请求",
                  .integer_rules = {.min = 0}},
                 text_param("feature", "功能名，原样记入结果"),
                 text_param("username", "本次使用的 Sif 用户名（缺省取配置）"),
                 text_param("password", "本次使用的 Sif 密码（缺省取配置；不会写入任何文件）"),
                 {.name = "timeout",
                  .type = ParamType::seconds,
                  .help = "每次下载的超时秒数（0.001 到 86400，可带小数）",
                  .min_seconds = MIN_TIMEOUT_SECONDS,
                  .max_seconds = MAX_TIMEOUT_SECONDS},
                 quiet_param()},
      .effects = {.open_world = true},
  };
  command.run = [declared = command.params](const Arguments& args, Context& context) {
    sif::SifRunRequest request{
        .asin = args.optional_text("asin"),
        .site = args.optional_text("site"),
        .sections = args.texts("sections"),
        .job_id = args.optional_text("job-id"),
        .output_dir = args.optional_text("output-dir"),
        .time_piece_type = args.optional_text("time-piece-type"),
        .time_piece_value = args.optional_text("time-piece-value"),
        .my_asin = args.optional_text("my-asin"),
        .page_num = args.integer("page-num"),
        .page_size = args.integer("page-size"),
        .feature = args.optional_text("feature"),
        .sif_username = args.optional_text("username"),
        .sif_password = args.optional_text("password"),
        .progress = context.progress,
    };
    if (std::optional<double> seconds = args.number("timeout")) {
      request.timeout =
          std::chrono::milliseconds(static_cast<std::int64_t>(std::round(*seconds * 1000.0)));
    }
    // What the operator asked for, as given; the password never goes into run records.
    Json params = Json::object();
    for (const Param& param : declared) {
      if (!args.has(param.name) || param.name == "password" || param.cli_only) continue;
      params[param.name] = args.as_given(param.name);
    }
    request.params = std::move(params);

    sif::SifSettings settings = sif::load_settings();
    sif::SifCompareProvider provider;
    context.output.put(provider.run(request, sif::default_output_dir(settings)).to_json());
  };
  return command;
}

}  // namespace

void add_sif_commands(Table& table) {
  table.groups.push_back(
      {.path = {"sif"}, .description = "Sif 关键词服务：站点编码、多产品对比导出"});
  table.commands.push_back(site_command());
  table.commands.push_back(compare_command());
}

}  // namespace vendro::commands
