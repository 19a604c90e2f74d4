#include "vendro/sif/compare_provider.hpp"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"
#include "vendro/core/job_id.hpp"
#include "vendro/core/text.hpp"
#include "vendro/sif/common.hpp"
#include "vendro/sif/compare_scenarios.hpp"
#include "vendro/sif/export.hpp"
#include "vendro/sif/sites.hpp"

namespace vendro::sif {

namespace fs = std::filesystem;

namespace {

struct SectionPlan {
  const char* name;
  const char* key_name;
  std::string_view path;
  const char* file_prefix;
  std::function<Json(const SifRunRequest&, const CompareQuery&)> payload;
};

std::int64_t or_default(const std::optional<std::int64_t>& value, std::int64_t fallback) {
  return value && *value != 0 ? *value : fallback;
}

// The sections a compare run can fetch, in the order they are fetched.
const std::vector<SectionPlan>& section_table() {
  static const std::vector<SectionPlan> table = {
      {"sales", "compare_sales_xlsx", COMPARE_SALES_PATH, "对比销量_",
       [](const SifRunRequest& r, const CompareQuery& q) {
         return compare_sales_payload(
             {.query = q, .page_num = r.page_num, .page_size = or_default(r.page_size, 100)});
       }},
      {"traffic_words", "compare_traffic_words_xlsx", COMPARE_SUMMARY_PATH, "对比流量词_",
       [](const SifRunRequest&, const CompareQuery& q) {
         return compare_summary_payload({.query = q, .show_type = 1});
       }},
      {"traffic_score", "compare_traffic_score_xlsx", COMPARE_SUMMARY_PATH, "对比流量分_",
       [](const SifRunRequest&, const CompareQuery& q) {
         return compare_summary_payload({.query = q, .show_type = 2});
       }},
      {"my_traffic_keywords", "compare_my_traffic_keywords_xlsx", COMPARE_MY_KEYWORDS_PATH,
       "重点流量词_",
       [](const SifRunRequest& r, const CompareQuery& q) {
         return compare_my_keywords_payload({.query = q,
                                             .list_type = 1,
                                             .page_num = r.page_num,
                                             .page_size = or_default(r.page_size, 10)});
       }},
      {"my_ad_keywords", "compare_my_ad_keywords_xlsx", COMPARE_MY_KEYWORDS_PATH, "重点广告词_",
       [](const SifRunRequest& r, const CompareQuery& q) {
         return compare_my_keywords_payload({.query = q,
                                             .list_type = 2,
                                             .page_num = r.page_num,
                                             .page_size = or_default(r.page_size, 10)});
       }},
  };
  return table;
}

Json optional_json(const auto& value) {
  return value ? Json(*value) : Json(nullptr);
}

bool non_empty(const std::optional<std::string>& value) {
  return value && !value->empty();
}

bool is_credential_key(const std::string& key) {
  std::string lower = text::to_lower(key);
  for (const char* word : {"password", "passwd", "token", "cookie", "secret"}) {
    if (lower.find(word) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

Json mask_credentials(const Json& params) {
  if (params.is_array()) {
    Json out = Json::array();
    for (const Json& item : params) out.push_back(mask_credentials(item));
    return out;
  }
  if (!params.is_object()) return params;
  Json out = Json::object();
  for (const auto& [key, value] : params.items()) {
    out[key] = is_credential_key(key) && truthy(value) ? Json("***") : mask_credentials(value);
  }
  return out;
}

SifCompareProvider::SifCompareProvider(SifCompareProviderOptions options)
    : client_injected_(options.client != nullptr) {
  client_ = client_injected_ ? std::move(options.client) : std::make_shared<const SifApiClient>();
}

std::shared_ptr<const SifApiClient> SifCompareProvider::client_for_request(
    const SifRunRequest& request) const {
  if (client_injected_) return client_;
  if (non_empty(request.sif_username) || non_empty(request.sif_password)) {
    SifSettings stored = load_settings();
    SifSettings settings{
        .base_url = stored.base_url,
        .cookie = stored.cookie,
        .token = stored.token,
        .username = non_empty(request.sif_username) ? *request.sif_username : stored.username,
        .password = non_empty(request.sif_password) ? *request.sif_password : stored.password,
        .output_dir = stored.output_dir};
    return std::make_shared<const SifApiClient>(
        SifApiClientOptions{.settings = std::move(settings), .timeout = request.timeout});
  }
  if (request.timeout) {
    return std::make_shared<const SifApiClient>(
        SifApiClientOptions{.settings = client_->settings(), .timeout = request.timeout});
  }
  return client_;
}

SifRunResult SifCompareProvider::run(const SifRunRequest& request,
                                     const fs::path& default_output_dir) const {
  std::vector<std::string> asins =
      !request.asins.empty() ? request.asins : parse_asins(request.asin);
  for (std::string& asin : asins) asin = text::to_upper(asin);
  if (asins.size() < 2) {
    throw InputError("多产品对比至少需要 2 个 ASIN，请用英文逗号分隔。");
  }

  const std::string site = normalize_site(request.site);
  const std::vector<std::string> sections =
      parse_sections(request.sections, default_compare_sections(), compare_section_aliases());
  const std::string count = std::to_string(asins.size());
  const std::string job_id = non_empty(request.job_id)
                                 ? *request.job_id
                                 : vendro::build_job_id("sif-compare", count + "asins");
  const fs::path root_dir = resolve_root_dir(request.output_dir, default_output_dir, job_id);
  files::make_dirs(root_dir);

  const fs::path params_path = root_dir / "params.json";
  const fs::path raw_path = root_dir / "raw.json";
  const fs::path result_path = root_dir / "result.json";

  Json query = {
      {"time_piece_type", optional_json(request.time_piece_type)},
      {"time_piece_value", optional_json(request.time_piece_value)},
      {"sections", sections},
      {"my_asin", non_empty(request.my_asin) ? text::to_upper(*request.my_asin) : asins.front()},
      {"page_num", optional_json(request.page_num)},
      {"page_size", optional_json(request.page_size)},
  };
  const bool with_credentials = non_empty(request.sif_username) || non_empty(request.sif_password);
  write_json(params_path, Json{{"job_id", job_id},
                               {"feature", optional_json(request.feature)},
                               {"provider", "sif"},
                               {"asins", asins},
                               {"site", site},
                               {"query", query},
                               {"params", mask_credentials(request.params)},
                               {"auth_mode", with_credentials ? "credentials" : "configured"}});

  const std::shared_ptr<const SifApiClient> client = client_for_request(request);
  SifExports exports;
  Json requests = Json::array();
  const std::string run_stamp = std::to_string(timestamp_ms());
  const CompareQuery compare_query{.asins = asins,
                                   .time_piece_type = request.time_piece_type,
                                   .time_piece_value = request.time_piece_value};

  for (const SectionPlan& plan : section_table()) {
    if (std::find(sections.begin(), sections.end(), plan.name) == sections.end()) continue;
    Json payload = plan.payload(request, compare_query);
    std::string filename = plan.file_prefix + count + "个ASIN_" + run_stamp + ".xlsx";
    // Streamed beside its final name, and put in place only once it is known to be a workbook.
    fs::path target = root_dir / filename;
    fs::path partial = target;
    partial += ".part";
    if (request.progress) request.progress(std::string("正在下载板块 ") + plan.key_name + "…");
    client->download_post(plan.path, payload, site, partial);
    exports.emplace_back(plan.key_name,
                         save_sif_xlsx({.downloaded = partial, .output_path = target}));
    requests.push_back(Json{{"section", plan.key_name},
                            {"method", "POST"},
                            {"path", plan.path},
                            {"payload", std::move(payload)}});
  }

  const Json exports_json = exports_to_json(exports);
  write_json(raw_path, Json{{"requests", requests}, {"exports", exports_json}});
  Json summary = {
      {"asin_count", asins.size()}, {"export_count", exports.size()}, {"warning_count", 0}};
  write_json(result_path, Json{{"schema_version", "sif_compare.v1"},
                               {"feature", optional_json(request.feature)},
                               {"provider", "sif"},
                               {"asins", asins},
                               {"site", site},
                               {"query", query},
                               {"summary", summary},
                               {"exports", exports_json},
                               {"requests", requests},
                               {"warnings", Json::array()}});

  return SifRunResult{.job_id = job_id,
                      .feature = request.feature,
                      .provider = "sif",
                      .asins = asins,
                      .site = site,
                      .root_dir = root_dir.string(),
                      .params_path = params_path.string(),
                      .raw_path = raw_path.string(),
                      .result_path = result_path.string(),
                      .exports = std::move(exports),
                      .summary = std::move(summary)};
}

}  // namespace vendro::sif
