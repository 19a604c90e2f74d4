// `vendro sif`: Sif site codes and multi-product compare exports.

#include <charconv>
#include <chrono>
#include <cmath>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "vendro/cli/groups.hpp"
#include "vendro/cli/option_values.hpp"
#include "vendro/core/text.hpp"
#include "vendro/sif/compare_provider.hpp"
#include "vendro/sif/compare_scenarios.hpp"
#include "vendro/sif/settings.hpp"
#include "vendro/sif/sites.hpp"

namespace vendro::cli {

namespace {

// The compare options as typed; `given` tells which were present.
struct CompareArgs {
  std::string asin, site, job_id, output_dir, time_piece_type, time_piece_value, my_asin, feature,
      username, password;
  std::vector<std::string> sections;
  std::optional<std::int64_t> page_num, page_size;
  std::string timeout;
};

// "--timeout": seconds, from a millisecond to a day. Less would round to no timeout at all,
// and NaN, infinity or more would switch it off or overflow.
constexpr double MIN_TIMEOUT_SECONDS = 0.001;
constexpr double MAX_TIMEOUT_SECONDS = 86400;

// The seconds as milliseconds; the range check has already refused anything that would round to
// no timeout at all.
std::chrono::milliseconds timeout_value(const std::string& text) {
  const double seconds = parse_seconds(text, MIN_TIMEOUT_SECONDS, MAX_TIMEOUT_SECONDS).value();
  return std::chrono::milliseconds(static_cast<std::int64_t>(std::round(seconds * 1000.0)));
}

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
CLI::Validator sections_check() {
  return CLI::Validator(
      [](std::string& value) -> std::string {
        const sif::SectionAliases& aliases = sif::compare_section_aliases();
        std::string_view rest = value;
        for (;;) {
          const std::size_t comma = rest.find(',');
          const std::string piece = text::strip(rest.substr(0, comma));
          const std::string lower = text::to_lower(piece);
          if (!piece.empty() && lower != "all" && !aliases.contains(piece) &&
              !aliases.contains(lower)) {
            return "未知的板块「" + piece + "」，可用：" + known_sections();
          }
          if (comma == std::string_view::npos) return "";
          rest.remove_prefix(comma + 1);
        }
      },
      "SECTIONS");
}

std::optional<std::string> text_if(const CLI::Option* option, const std::string& value) {
  return option->count() > 0 ? std::optional<std::string>(value) : std::nullopt;
}

void add_site_command(CLI::App& sif, Action& selected) {
  auto value = std::make_shared<std::string>();
  CLI::App* cmd =
      sif.add_subcommand("site", "把站点写法（us、美国站、GB…）换成 Sif 站点编码并输出");
  cmd->add_option("VALUE", *value, "站点：编码或中文名，如 US、uk、日本站；空文本表示 US")
      ->required();
  cmd->footer("示例：vendro sif site 英国站   # 输出 UK");
  cmd->callback([value, &selected] {
    selected = [value]() -> std::optional<Json> {
      std::cout << sif::normalize_site(*value) << "\n";
      return std::nullopt;
    };
  });
}

void add_compare_command(CLI::App& sif, Action& selected) {
  auto args = std::make_shared<CompareArgs>();
  CLI::App* cmd = sif.add_subcommand(
      "compare", "多产品对比导出：按板块下载 Sif 对比表格（xlsx），写入一个运行目录");
  auto* asin =
      cmd->add_option("--asin", args->asin, "要对比的 ASIN，英文逗号分隔，至少 2 个")->required();
  auto* site = cmd->add_option("--site", args->site, "站点编码或中文名，默认 US");
  auto* sections =
      cmd->add_option("--sections", args->sections,
                      "要导出的板块，可重复、可用逗号分隔：sales(销量) traffic_words(流量词) "
                      "traffic_score(流量分) my_traffic_keywords(重点流量词) "
                      "my_ad_keywords(重点广告词)，或 all；默认全部")
          ->check(sections_check());
  auto* job_id = cmd->add_option("--job-id", args->job_id,
                                 "任务 ID，即运行目录名（不能含 / 或 ..）；默认自动生成");
  auto* output_dir =
      cmd->add_option("--output-dir", args->output_dir,
                      "输出目录，运行目录建在其下；默认取 Sif 配置的 output_dir，否则 ~/sif");
  auto* tp_type = cmd->add_option("--time-piece-type", args->time_piece_type, "时间段类型");
  auto* tp_value = cmd->add_option("--time-piece-value", args->time_piece_value, "时间段取值");
  auto* my_asin = cmd->add_option("--my-asin", args->my_asin, "我的 ASIN；默认第一个 ASIN");
  add_integer_option(*cmd, "--page-num", args->page_num, "页码", {.min = 0});
  add_integer_option(*cmd, "--page-size", args->page_size,
                     "每页条数；不填时销量按 100、重点流量词/广告词按 10 请求", {.min = 0});
  auto* feature = cmd->add_option("--feature", args->feature, "功能名，原样记入结果");
  auto* username =
      cmd->add_option("--username", args->username, "本次使用的 Sif 用户名（缺省取配置）");
  auto* password = cmd->add_option("--password", args->password,
                                   "本次使用的 Sif 密码（缺省取配置；不会写入任何文件）");
  auto* timeout =
      cmd->add_option("--timeout", args->timeout, "每次下载的超时秒数（0.001 到 86400，可带小数）")
          ->check(seconds_check(MIN_TIMEOUT_SECONDS, MAX_TIMEOUT_SECONDS));
  cmd->footer(
      "示例：vendro sif compare --asin B0AAAAAAA1,B0AAAAAAA2 --site 美国站 --sections 销量,流量词\n"
      "结果以 JSON 输出；运行目录内有 params.json、raw.json、result.json 和各板块的 xlsx。\n"
      "Sif 地址与凭据见 ~/.config/vendro/sif/settings.yaml（VENDRO_CONFIG_DIR 可改配置目录）"
      "或环境变量 VENDRO_SIF_*。");

  cmd->callback([=, &selected] {
    selected = [=]() -> std::optional<Json> {
      sif::SifRunRequest request{
          .asin = text_if(asin, args->asin),
          .site = text_if(site, args->site),
          .sections = args->sections,
          .job_id = text_if(job_id, args->job_id),
          .output_dir = text_if(output_dir, args->output_dir),
          .time_piece_type = text_if(tp_type, args->time_piece_type),
          .time_piece_value = text_if(tp_value, args->time_piece_value),
          .my_asin = text_if(my_asin, args->my_asin),
          .page_num = args->page_num,
          .page_size = args->page_size,
          .feature = text_if(feature, args->feature),
          .sif_username = text_if(username, args->username),
          .sif_password = text_if(password, args->password),
      };
      if (timeout->count() > 0) request.timeout = timeout_value(args->timeout);
      // What the operator asked for, as typed; the password never goes into run records.
      Json params = Json::object();
      for (const CLI::Option* option : cmd->get_options()) {
        if (option->count() == 0 || option == password || option->get_name() == "--help") {
          continue;
        }
        std::vector<std::string> values = option->results();
        params[option->get_name().substr(2)] =
            values.size() == 1 && option != sections ? Json(values.front()) : Json(values);
      }
      request.params = std::move(params);

      sif::SifSettings settings = sif::load_settings();
      sif::SifCompareProvider provider;
      return provider.run(request, sif::default_output_dir(settings)).to_json();
    };
  });
}

}  // namespace

void add_sif_commands(CLI::App& app, Action& selected) {
  CLI::App* sif = app.add_subcommand("sif", "Sif 关键词服务：站点编码、多产品对比导出");
  sif->require_subcommand(1);
  add_site_command(*sif, selected);
  add_compare_command(*sif, selected);
}

}  // namespace vendro::cli
