#include "vendro/sif/compare_provider.hpp"

#include <gtest/gtest.h>

#include "sif/sif_stand_in.hpp"
#include "support/temp_dir.hpp"
#include "vendro/core/error.hpp"
#include "vendro/sif/errors.hpp"
#include "vendro/sif/export.hpp"

namespace vendro::sif {
namespace {

namespace fs = std::filesystem;
using testing::IsolatedSifConfig;
using testing::ScopedEnv;
using testing::SifSeenRequest;
using testing::SifStandIn;
using testing::TempDir;

const std::string SALES = "/api/compare/sales/export";
const std::string SUMMARY = "/api/compare/summary/export";
const std::string MY_KEYWORDS = "/api/compare/my-keywords/export";

Json read_json(const fs::path& path) {
  return Json::parse(testing::read_file(path));
}

std::vector<std::string> paths_of(const std::vector<SifSeenRequest>& seen) {
  std::vector<std::string> paths;
  for (const auto& r : seen) paths.push_back(r.path);
  return paths;
}

std::vector<std::string> files_in(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// A private configuration pointing at a fresh stand-in, and an output directory.
struct SifRun {
  explicit SifRun(SifStandIn::Options options = {}) : sif(options) {}
  IsolatedSifConfig config;
  SifStandIn sif;
  ScopedEnv base_url{"VENDRO_SIF_BASE_URL", sif.base_url()};
  TempDir out;
};

TEST(SifCompareProvider, FullExportWritesEveryArtefact) {
  SifRun env;
  SifCompareProvider provider;
  SifRunRequest request{.asin = "b01, b02,b03",
                        .site = "英国站",
                        .job_id = "run-1",
                        .output_dir = env.out.path().string(),
                        .time_piece_type = "day",
                        .time_piece_value = "30",
                        .page_num = 2,
                        .feature = "compare",
                        .params = Json{{"asin", "b01, b02,b03"}}};
  SifRunResult result = provider.run(request, "/unused");

  const fs::path root = fs::canonical(env.out.path()) / "run-1";
  const std::vector<std::string> asins = {"B01", "B02", "B03"};
  auto seen = env.sif.requests();
  EXPECT_EQ(paths_of(seen),
            (std::vector<std::string>{SALES, SUMMARY, SUMMARY, MY_KEYWORDS, MY_KEYWORDS}));
  for (const auto& r : seen) EXPECT_EQ(r.country, "UK");
  Json base = {{"asins", asins}, {"timePieceType", "day"}, {"timePieceValue", "30"}};
  auto with = [&](Json extra) {
    Json payload = base;
    payload.update(extra);
    return payload;
  };
  // No page size asked for: sales get 100 and the keyword lists 10.
  std::vector<Json> payloads = {with({{"pageNum", 2}, {"pageSize", 100}}), with({{"showType", 1}}),
                                with({{"showType", 2}}),
                                with({{"listType", 1}, {"pageNum", 2}, {"pageSize", 10}}),
                                with({{"listType", 2}, {"pageNum", 2}, {"pageSize", 10}})};
  ASSERT_EQ(seen.size(), payloads.size());
  for (std::size_t i = 0; i < seen.size(); ++i) EXPECT_EQ(seen[i].payload, payloads[i]) << i;

  Json query = {
      {"time_piece_type", "day"},
      {"time_piece_value", "30"},
      {"sections",
       {"sales", "traffic_words", "traffic_score", "my_traffic_keywords", "my_ad_keywords"}},
      {"my_asin", "B01"},
      {"page_num", 2},
      {"page_size", nullptr}};
  EXPECT_EQ(read_json(root / "params.json"), (Json{{"job_id", "run-1"},
                                                   {"feature", "compare"},
                                                   {"provider", "sif"},
                                                   {"asins", asins},
                                                   {"site", "UK"},
                                                   {"query", query},
                                                   {"params", {{"asin", "b01, b02,b03"}}},
                                                   {"auth_mode", "configured"}}));

  // One workbook per section, named by prefix, ASIN count and the one run timestamp.
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"compare_sales_xlsx", "对比销量_"},
      {"compare_traffic_words_xlsx", "对比流量词_"},
      {"compare_traffic_score_xlsx", "对比流量分_"},
      {"compare_my_traffic_keywords_xlsx", "重点流量词_"},
      {"compare_my_ad_keywords_xlsx", "重点广告词_"}};
  ASSERT_EQ(result.exports.size(), expected.size());
  std::string stamp;
  for (std::size_t i = 0; i < expected.size(); ++i) {
    const auto& [key, record] = result.exports[i];
    EXPECT_EQ(key, expected[i].first);
    std::string prefix = expected[i].second + "3个ASIN_";
    ASSERT_TRUE(record.filename.starts_with(prefix) && record.filename.ends_with(".xlsx"))
        << record.filename;
    std::string this_stamp = record.filename.substr(prefix.size(), 13);
    if (i == 0) stamp = this_stamp;
    EXPECT_EQ(this_stamp, stamp);
    EXPECT_EQ(record.path, root / record.filename);
    std::string content = testing::read_file(record.path);
    EXPECT_TRUE(is_xlsx(content));
    EXPECT_EQ(record.size_bytes, content.size());
  }

  Json raw = read_json(root / "raw.json");
  ASSERT_EQ(raw["requests"].size(), 5u);
  EXPECT_EQ(raw["requests"][1], (Json{{"section", "compare_traffic_words_xlsx"},
                                      {"method", "POST"},
                                      {"path", SUMMARY},
                                      {"payload", payloads[1]}}));
  EXPECT_EQ(raw["exports"], exports_to_json(result.exports));

  Json summary = {{"asin_count", 3}, {"export_count", 5}, {"warning_count", 0}};
  EXPECT_EQ(read_json(root / "result.json"), (Json{{"schema_version", "sif_compare.v1"},
                                                   {"feature", "compare"},
                                                   {"provider", "sif"},
                                                   {"asins", asins},
                                                   {"site", "UK"},
                                                   {"query", query},
                                                   {"summary", summary},
                                                   {"exports", raw["exports"]},
                                                   {"requests", raw["requests"]},
                                                   {"warnings", Json::array()}}));

  Json out = result.to_json();
  EXPECT_EQ(out["job_id"], "run-1");
  EXPECT_EQ(out["root_dir"], root.string());
  EXPECT_EQ(out["params_path"], (root / "params.json").string());
  EXPECT_EQ(out["raw_path"], (root / "raw.json").string());
  EXPECT_EQ(out["result_path"], (root / "result.json").string());
  EXPECT_EQ(out["summary"], summary);
  EXPECT_EQ(out["exports"], raw["exports"]);
  std::vector<std::string> keys;
  for (const auto& [key, value] : out.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"job_id", "feature", "provider", "asins", "site",
                                            "root_dir", "params_path", "raw_path", "result_path",
                                            "exports", "summary"}));
}

TEST(SifCompareProvider, SectionsAreFetchedInTableOrderWhateverTheRequestOrder) {
  SifRun env;
  SifCompareProvider provider;
  SifRunResult all =
      provider.run({.asins = {"a1", "a2"}, .sections = {"all"}, .job_id = "all"}, env.out.path());
  EXPECT_EQ(all.exports.size(), 5u);
  EXPECT_EQ(all.summary["export_count"], 5);

  SifRunResult picked = provider.run({.asins = {"a1", "a2"},
                                      .sections = {"重点广告词", "SALES"},
                                      .job_id = "picked",
                                      .page_size = 5},
                                     env.out.path());
  auto seen = env.sif.requests();
  ASSERT_EQ(seen.size(), 7u);
  EXPECT_EQ(seen[5].path, SALES);
  EXPECT_EQ(seen[5].payload["pageSize"], 5);
  EXPECT_EQ(seen[6].path, MY_KEYWORDS);
  EXPECT_EQ(seen[6].payload["listType"], 2);
  EXPECT_EQ(seen[6].payload["pageSize"], 5);
  Json params = read_json(fs::path(picked.params_path));
  EXPECT_EQ(params["query"]["sections"], (Json{"my_ad_keywords", "sales"}));
  EXPECT_EQ(params["query"]["page_size"], 5);
  EXPECT_EQ(params["asins"], (Json{"A1", "A2"}));
}

TEST(SifCompareProvider, TwoSectionsSharingAnEndpointMakeTwoDownloads) {
  SifRun env;
  SifRunResult result = SifCompareProvider().run(
      {.asins = {"A1", "A2"}, .sections = {"traffic_words, 流量分"}, .job_id = "shared"},
      env.out.path());
  auto seen = env.sif.requests();
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].path, SUMMARY);
  EXPECT_EQ(seen[1].path, SUMMARY);
  EXPECT_EQ(seen[0].payload["showType"], 1);
  EXPECT_EQ(seen[1].payload["showType"], 2);
  Json raw = read_json(fs::path(result.raw_path));
  EXPECT_EQ(raw["requests"][0]["path"], raw["requests"][1]["path"]);
  EXPECT_NE(raw["requests"][0]["payload"], raw["requests"][1]["payload"]);
  EXPECT_EQ(result.exports.size(), 2u);
  EXPECT_NE(result.exports[0].second.path, result.exports[1].second.path);
}

TEST(SifCompareProvider, UnknownSectionsAreRecordedButFetchNothing) {
  SifRun env;
  SifRunResult result = SifCompareProvider().run(
      {.asins = {"A1", "A2"}, .sections = {"bogus"}, .job_id = "none"}, env.out.path());
  EXPECT_TRUE(env.sif.requests().empty());
  Json saved = read_json(fs::path(result.result_path));
  EXPECT_EQ(saved["query"]["sections"], Json{"bogus"});
  EXPECT_EQ(saved["exports"], Json::object());
  EXPECT_EQ(saved["requests"], Json::array());
  EXPECT_EQ(saved["summary"]["export_count"], 0);
  EXPECT_TRUE(fs::exists(result.raw_path));
  EXPECT_TRUE(fs::exists(result.params_path));
}

TEST(SifCompareProvider, RequestCredentialsVersusConfiguredOnes) {
  SifRun env;
  env.config.write_settings("token: cfg-token\n");
  SifCompareProvider provider;
  SifRunRequest base{.asins = {"A1", "A2"}, .sections = {"sales"}};

  SifRunRequest configured = base;
  configured.job_id = "configured";
  Json params = read_json(fs::path(provider.run(configured, env.out.path()).params_path));
  EXPECT_EQ(params["auth_mode"], "configured");

  // Only a password: the stored username completes the account.
  env.config.write_settings("token: cfg-token\nusername: stored-user\n");
  SifRunRequest password_only = base;
  password_only.job_id = "password-only";
  password_only.sif_password = "req-pass";
  password_only.params = {{"sif_password", "req-pass"}, {"extra", {{"cookie", "c=1"}}}};
  SifRunResult run = provider.run(password_only, env.out.path());
  params = read_json(fs::path(run.params_path));
  EXPECT_EQ(params["auth_mode"], "credentials");
  EXPECT_EQ(params["params"], (Json{{"sif_password", "***"}, {"extra", {{"cookie", "***"}}}}));
  for (const auto& file : {run.params_path, run.raw_path, run.result_path}) {
    EXPECT_EQ(testing::read_file(file).find("req-pass"), std::string::npos) << file;
  }

  SifRunRequest both = base;
  both.job_id = "both";
  both.sif_username = "req-user";
  both.sif_password = "req-pass";
  provider.run(both, env.out.path());

  // An injected client is used whatever the request carries.
  auto injected = std::make_shared<const SifApiClient>(
      SifApiClientOptions{.settings = SifSettings{.base_url = env.sif.base_url(), .token = "inj"}});
  SifRunRequest with_injected = both;
  with_injected.job_id = "injected";
  params = read_json(fs::path(
      SifCompareProvider({.client = injected}).run(with_injected, env.out.path()).params_path));
  EXPECT_EQ(params["auth_mode"], "credentials");

  std::vector<std::string> seen;
  for (const auto& r : env.sif.requests()) seen.push_back(r.authorization);
  EXPECT_EQ(seen,
            (std::vector<std::string>{"Bearer cfg-token", "Basic c3RvcmVkLXVzZXI6cmVxLXBhc3M=",
                                      "Basic cmVxLXVzZXI6cmVxLXBhc3M=", "Bearer inj"}));
}

TEST(SifCompareProvider, ClientChoiceFollowsCredentialsAndTimeout) {
  SifRun env;
  env.config.write_settings("token: cfg\nusername: stored\npassword: stored-pass\n");
  SifCompareProvider provider;
  auto own = provider.client_for_request({});
  EXPECT_EQ(provider.client_for_request({}), own);
  auto timed = provider.client_for_request({.timeout = std::chrono::seconds(7)});
  EXPECT_NE(timed, own);
  EXPECT_EQ(timed->timeout(), std::chrono::seconds(7));
  EXPECT_EQ(timed->settings().token, "cfg");
  auto creds =
      provider.client_for_request({.sif_username = "req", .timeout = std::chrono::seconds(3)});
  EXPECT_EQ(creds->settings().username, "req");
  EXPECT_EQ(creds->settings().password, "stored-pass");
  EXPECT_EQ(creds->settings().base_url, env.sif.base_url());
  EXPECT_EQ(creds->timeout(), std::chrono::seconds(3));

  auto injected =
      std::make_shared<const SifApiClient>(SifApiClientOptions{.settings = SifSettings{}});
  SifCompareProvider with_client({.client = injected});
  EXPECT_EQ(
      with_client.client_for_request({.sif_password = "x", .timeout = std::chrono::seconds(1)}),
      injected);
}

TEST(SifCompareProvider, FailureOnTheThirdSectionKeepsWhatWasWritten) {
  SifRun env({.fail_on_request = 3});
  SifRunRequest request{.asins = {"A1", "A2"}, .job_id = "broken"};
  try {
    SifCompareProvider().run(request, env.out.path());
    FAIL() << "no error";
  } catch (const SifApiError& e) {
    EXPECT_NE(std::string(e.what()).find("导出服务繁忙"), std::string::npos) << e.what();
  }
  EXPECT_EQ(env.sif.requests().size(), 3u);  // no retry, nothing after the failure
  std::vector<std::string> names = files_in(env.out / "broken");
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], "params.json");
  EXPECT_TRUE(names[1].starts_with("对比流量词_2个ASIN_")) << names[1];
  EXPECT_TRUE(names[2].starts_with("对比销量_2个ASIN_")) << names[2];
}

TEST(SifCompareProvider, BadRequestsFailBeforeAnythingIsWritten) {
  SifRun env;
  fs::path out = env.out / "never";
  SifCompareProvider provider;
  auto run = [&](SifRunRequest request) {
    request.output_dir = out.string();
    provider.run(request, out);
  };
  // A single ASIN in the list: the comma text is ignored then.
  EXPECT_THROW(run({.asins = {"A1"}, .asin = "B1,B2"}), InputError);
  EXPECT_THROW(run({.asin = "A1, ,"}), InputError);
  EXPECT_THROW(run({.asin = "A1,A2", .site = "XX"}), SifSiteNotSupportedError);
  EXPECT_THROW(run({.asin = "A1,A2", .job_id = "../escape"}), InputError);
  EXPECT_THROW(run({.asin = "A1,A2", .job_id = (env.out / "abs").string()}), InputError);
  EXPECT_FALSE(fs::exists(out));
  EXPECT_FALSE(fs::exists(env.out / "escape"));
  EXPECT_FALSE(fs::exists(env.out / "abs"));
  EXPECT_TRUE(env.sif.requests().empty());
}

TEST(SifCompareProvider, GeneratedJobIdCountsTheAsins) {
  SifRun env;
  SifRunResult result =
      SifCompareProvider().run({.asin = "a1,a2,a3", .sections = {"sales"}}, env.out.path());
  EXPECT_TRUE(result.job_id.starts_with("sif-compare-3asins-")) << result.job_id;
  EXPECT_EQ(fs::path(result.root_dir), fs::canonical(env.out.path()) / result.job_id);
  EXPECT_TRUE(fs::is_directory(result.root_dir));
}

TEST(SifMaskCredentials, MasksSecretsAtAnyDepthAndKeepsTheRest) {
  Json params = {{"asin", "A1,A2"},
                 {"username", "ops"},
                 {"Password", "p"},
                 {"list", {{{"access_token", "t"}}, 3}},
                 {"cookie", ""}};
  EXPECT_EQ(mask_credentials(params), (Json{{"asin", "A1,A2"},
                                            {"username", "ops"},
                                            {"Password", "***"},
                                            {"list", {{{"access_token", "***"}}, 3}},
                                            {"cookie", ""}}));
  EXPECT_EQ(mask_credentials(nullptr), nullptr);
}

}  // namespace
}  // namespace vendro::sif
