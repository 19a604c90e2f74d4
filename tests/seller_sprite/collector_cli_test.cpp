// `vendro seller-sprite ...` end to end: headless Chromium against the stand-in site, results and
// run directories as the operator sees them.

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <thread>

#include "browser/process_scan.hpp"
#include "seller_sprite/site_session.hpp"

namespace vendro::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::string> keys(const Json& object) {
  std::vector<std::string> names;
  for (const auto& [key, value] : object.items()) names.push_back(key);
  return names;
}

Json parse_result(const CliResult& result) {
  EXPECT_TRUE(result.out.starts_with("{"))
      << "stdout: " << result.out << "\nstderr: " << result.err;
  Json parsed = Json::parse(result.out, nullptr, false);
  EXPECT_FALSE(parsed.is_discarded()) << result.out;
  return parsed;
}

// Every value of a files map is the absolute path of a file that exists.
void expect_files_exist(const Json& files) {
  ASSERT_TRUE(files.is_object());
  for (const auto& [key, path] : files.items()) {
    std::filesystem::path file = path.get<std::string>();
    EXPECT_TRUE(file.is_absolute()) << key;
    EXPECT_TRUE(std::filesystem::is_regular_file(file)) << key << " → " << file;
  }
}

// Browser processes started on this session's profile (not vendro, whose --run-dir is there too).
std::vector<ProcessInfo> browsers_of(const SiteSession& session) {
  return live_processes_of(
      0,
      "--user-data-dir=" + (session.config_dir() / "seller_sprite" / "browser_profile").string());
}

bool no_browser_left(const SiteSession& session) {
  for (int i = 0; i < 50; ++i) {
    if (browsers_of(session).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return false;
}

int hits(SiteSession& session, const std::string& name) {
  Json stats = session.stats();
  return stats.is_object() ? stats["hits"].value(name, 0) : 0;
}

// Polls the site until the API `name` was asked more than `before` times, for at most `seconds`.
bool wait_for_hit(SiteSession& session, const std::string& name, int before, int seconds) {
  const auto deadline = Clock::now() + std::chrono::seconds(seconds);
  while (Clock::now() < deadline) {
    if (hits(session, name) > before) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return false;
}

TEST(SellerSpriteCollect, LogsInWithTheAccountCollectsTrendsAndKeepsTheLogin) {
  SiteSession session;
  const auto run_dir = session.run_dir("run");
  CliResult result =
      session.run({"collect", "--headless", "--keyword", "wireless earbuds", "--site", "us",
                   "--period", "30d", "--phrase-count", "2", "--trend-limit", "2", "--trend-tabs",
                   "ppc,search", "--run-dir", run_dir.string()},
                  /*with_account=*/true);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  Json out = parse_result(result);
  EXPECT_EQ(keys(out),
            (std::vector<std::string>{"frequency", "keyword_mining", "trend_details", "files",
                                      "captcha_required", "missing_sections", "errors"}));
  EXPECT_EQ(out["captcha_required"], false);
  EXPECT_EQ(out["missing_sections"], Json::array());
  EXPECT_EQ(out["errors"], Json::array());
  EXPECT_EQ(out["frequency"]["data"]["phrase"], 2);
  EXPECT_EQ(out["keyword_mining"]["data"]["items"].size(), 30u);
  EXPECT_NE(result.err.find("结果目录：" + run_dir.string()), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find(DEMO_PASSWORD), std::string::npos);
  EXPECT_EQ(result.out.find(DEMO_PASSWORD), std::string::npos);

  Json stats = session.stats();
  EXPECT_EQ(stats["login"]["successes"], 1) << stats.dump();
  EXPECT_EQ(stats["last_query"]["keyword_mining"]["site"], "美国站");
  EXPECT_EQ(stats["last_query"]["keyword_mining"]["period"], "最近30天");
  EXPECT_EQ(stats["last_query"]["keyword_mining"]["keyword"], "wireless earbuds");

  // Two drawers, the chosen tabs in the chosen order; what the drawer loaded on opening counts
  // for the first tab.
  const Json& trends = out["trend_details"];
  ASSERT_EQ(trends.size(), 2u);
  const std::string first = out["keyword_mining"]["data"]["items"][0]["keyword"];
  EXPECT_EQ(trends[0]["keyword"], first);
  ASSERT_EQ(trends[0]["tabs"].size(), 2u);
  EXPECT_EQ(trends[0]["tabs"][0]["tab"], "PPC竞价");
  EXPECT_EQ(trends[0]["tabs"][1]["tab"], "搜索趋势");
  EXPECT_GE(trends[0]["tabs"][0]["response_count"].get<int>(), 2);
  EXPECT_GE(trends[0]["tabs"][1]["response_count"].get<int>(), 1);
  const std::string section = trends[0]["tabs"][0]["section"];
  EXPECT_TRUE(section.starts_with("trend_01_")) << section;
  EXPECT_TRUE(section.ends_with("_ppc")) << section;
  EXPECT_EQ(out["files"][section + "_responses"], trends[0]["tabs"][0]["response_path"]);
  Json saved = Json::parse(read_file(trends[0]["tabs"][0]["response_path"].get<std::string>()));
  EXPECT_EQ(keys(saved), (std::vector<std::string>{"keyword", "tab", "responses"}));
  EXPECT_EQ(saved["tab"], "PPC竞价");
  for (const Json& captured : saved["responses"]) {
    EXPECT_EQ(keys(captured), (std::vector<std::string>{"url", "status", "payload"}));
  }
  expect_files_exist(out["files"]);
  EXPECT_TRUE(out["files"].contains("collect_html"));
  EXPECT_TRUE(out["files"].contains("collect_screenshot"));
  EXPECT_TRUE(out["files"].contains("keyword_mining_payload"));
  EXPECT_TRUE(out["files"].contains(section + "_element_screenshot"));
  EXPECT_EQ(Json::parse(read_file(out["files"]["keyword_mining_payload"].get<std::string>())),
            out["keyword_mining"]);

  // The login stays in the profile: no account needed next time.
  CliResult status = session.run({"status", "--headless", "--run-dir", (run_dir / "s").string()});
  ASSERT_EQ(status.exit_code, 0) << status.err;
  Json state = parse_result(status);
  EXPECT_EQ(keys(state), (std::vector<std::string>{"profile_dir", "current_url", "logged_in",
                                                   "files", "captcha_required"}));
  EXPECT_EQ(state["logged_in"], true);
  EXPECT_EQ(session.stats()["login"]["successes"], 1);
  EXPECT_TRUE(no_browser_left(session));
}

TEST(SellerSpriteCollect, FrequencyTypesACustomLengthAndPicksAScrolledSite) {
  SiteSession session;
  session.mode("login=open");
  CliResult result =
      session.run({"frequency", "--headless", "--keyword", "earbuds", "--site", "AE",
                   "--phrase-count", "3", "--run-dir", session.run_dir("f").string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  Json out = parse_result(result);
  EXPECT_EQ(keys(out),
            (std::vector<std::string>{"frequency", "trend_details", "files", "captcha_required",
                                      "missing_sections", "errors"}));
  // The last answer is the one for the chosen length.
  EXPECT_EQ(out["frequency"]["data"]["phrase"], 3);
  Json stats = session.stats();
  EXPECT_EQ(stats["last_query"]["frequency"]["site"], "阿联酋");
  EXPECT_EQ(stats["last_query"]["frequency"]["phrase"], 3);
  EXPECT_TRUE(
      std::filesystem::is_regular_file(session.run_dir("f") / "frequency" / "frequency.json"));
  expect_files_exist(out["files"]);
}

TEST(SellerSpriteCollect, MiningOnABusyPageLeavesTheKeywordAloneAndSkipsTrends) {
  SiteSession session;
  session.mode("login=open&idle=never");
  const auto started = Clock::now();
  CliResult result = session.run(
      {"mining", "--headless", "--site", "JP", "--run-dir", session.run_dir("m").string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  // The page never went idle: the login check waited its 10 s, then looked anyway.
  EXPECT_GE(Clock::now() - started, std::chrono::seconds(11));
  Json out = parse_result(result);
  EXPECT_EQ(out["trend_details"], Json::array());
  EXPECT_TRUE(truthy(out["keyword_mining"]));
  Json stats = session.stats();
  EXPECT_EQ(stats["last_query"]["keyword_mining"]["site"], "日本站");
  EXPECT_EQ(stats["last_query"]["keyword_mining"]["keyword"], "");
  EXPECT_EQ(stats["hits"].value("trend", 0), 0);
}

TEST(SellerSpriteCollect, ReverseWaitsForItsRequiredSectionsOnly) {
  SiteSession session;
  session.mode("login=open&missing=monthly");
  CliResult result = session.run({"reverse", "--headless", "--asin", "B0TEST1234", "--run-dir",
                                  session.run_dir("r").string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  Json out = parse_result(result);
  EXPECT_EQ(keys(out),
            (std::vector<std::string>{"keyword_reverse", "reverse_frequency", "reverse_monthly",
                                      "reverse_stats", "trend_details", "files", "captcha_required",
                                      "missing_sections", "errors"}));
  EXPECT_TRUE(out["reverse_monthly"].is_null());
  EXPECT_TRUE(truthy(out["reverse_stats"]));
  EXPECT_EQ(out["missing_sections"], Json::array());
  EXPECT_EQ(session.stats()["last_query"]["reversing"]["asin"], "B0TEST1234");

  session.mode("missing=reversing");
  const auto started = Clock::now();
  result = session.run({"reverse", "--headless", "--asin", "B0TEST1234", "--run-dir",
                        session.run_dir("r2").string()});
  EXPECT_EQ(result.exit_code, 3) << result.err;
  EXPECT_GE(Clock::now() - started, std::chrono::seconds(10));
  out = parse_result(result);
  EXPECT_EQ(out["missing_sections"], Json::array({"keyword_reverse"}));
  EXPECT_EQ(out["errors"], Json::parse(R"([{"code": "SELLER_SPRITE_RESPONSE_MISSING",
                                            "message": "keyword_reverse 响应未捕获"}])"));
}

TEST(SellerSpriteCollect, BlockedPagesAreArchivedAndReportedNotRaised) {
  SiteSession session;
  session.mode("captcha=page");
  CliResult result = session.run(
      {"collect", "--headless", "--keyword", "x", "--run-dir", session.run_dir("c").string()},
      /*with_account=*/true);
  EXPECT_EQ(result.exit_code, 3) << result.err;
  Json out = parse_result(result);
  EXPECT_EQ(keys(out),
            (std::vector<std::string>{"frequency", "keyword_mining", "files", "captcha_required",
                                      "missing_sections", "errors"}));
  EXPECT_EQ(out["captcha_required"], true);
  EXPECT_EQ(out["errors"][0]["code"], "SELLER_SPRITE_CAPTCHA_REQUIRED");
  EXPECT_EQ(out["errors"][0]["message"], "页面出现验证码");
  EXPECT_EQ(session.stats()["login"]["attempts"], 0);  // never past a captcha
  expect_files_exist(out["files"]);
  EXPECT_TRUE(out["files"].contains("collect_html"));

  session.mode("captcha=none&marker=guest");
  result = session.run(
      {"collect", "--headless", "--no-account", "--run-dir", session.run_dir("g").string()},
      /*with_account=*/true);
  EXPECT_EQ(result.exit_code, 3) << result.err;
  out = parse_result(result);
  EXPECT_EQ(out["captcha_required"], false);
  EXPECT_EQ(out["errors"], Json::parse(R"([{"code": "SELLER_SPRITE_LOGIN_REQUIRED",
      "message": "卖家精灵未登录，请先执行 `vendro seller-sprite login`"}])"));
  EXPECT_EQ(session.stats()["login"]["attempts"], 0);

  session.mode("marker=redirect");
  result = session.run(
      {"reverse", "--headless", "--asin", "B0X", "--run-dir", session.run_dir("rr").string()});
  EXPECT_EQ(result.exit_code, 3) << result.err;
  out = parse_result(result);
  EXPECT_EQ(out["missing_sections"], Json::parse(R"(["keyword_reverse", "reverse_frequency"])"));
  EXPECT_EQ(out["errors"][0]["code"], "SELLER_SPRITE_LOGIN_REQUIRED");
}

TEST(SellerSpriteCollect, ArchiveReportsACaptchaWithoutAnError) {
  SiteSession session;
  session.mode("captcha=page");
  CliResult result =
      session.run({"archive", "--headless", "--url", session.site().origin() + "/v3/keyword-miner",
                   "--run-dir", session.run_dir("a").string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  Json out = parse_result(result);
  EXPECT_EQ(keys(out),
            (std::vector<std::string>{"files", "captcha_required", "missing_sections", "errors"}));
  EXPECT_EQ(out["captcha_required"], true);
  EXPECT_EQ(out["errors"], Json::array());
  expect_files_exist(out["files"]);
  EXPECT_EQ(read_file(out["files"]["archive_url"].get<std::string>()),
            session.site().origin() + "/v3/keyword-miner\n");

  // The login page's SMS-code tab (验证码登录) is no challenge.
  result = session.run({"archive", "--headless", "--url",
                        session.site().origin() + "/w/user/login?callback=/v3/keyword-miner",
                        "--run-dir", session.run_dir("b").string()});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(parse_result(result)["captcha_required"], false);
}

// The stand-in builds a 5 MB answer in about 3 s, but takes about 30 s under AddressSanitizer:
// longer than the collection waits for answers. There the list is a tenth of the size.
#if defined(__SANITIZE_ADDRESS__)
constexpr int LARGE_ITEMS = 2000;
constexpr std::uintmax_t LARGE_BYTES = 500'000;
#else
constexpr int LARGE_ITEMS = 20000;
constexpr std::uintmax_t LARGE_BYTES = 5'000'000;
#endif

TEST(SellerSpriteCollect, CapturesLargeAnswersWholeAndSkipsBrokenOnes) {
  SiteSession session;
  session.mode("login=open&broken=frequency&items=" + std::to_string(LARGE_ITEMS));
  CliResult result = session.run(
      {"collect", "--headless", "--keyword", "cable", "--run-dir", session.run_dir("l").string()});
  EXPECT_EQ(result.exit_code, 3) << result.err;
  Json out = parse_result(result);
  EXPECT_EQ(out["keyword_mining"]["data"]["items"].size(), static_cast<std::size_t>(LARGE_ITEMS));
  EXPECT_GT(std::filesystem::file_size(session.run_dir("l") / "collect" / "keyword_mining.json"),
            LARGE_BYTES);
  EXPECT_EQ(out["missing_sections"], Json::array({"frequency"}));
  EXPECT_EQ(out["errors"][0]["message"], "frequency 响应未捕获");
  EXPECT_TRUE(out["frequency"].is_null());
}

TEST(SellerSpriteLogin, PromptsOnStderrAndNeedsAnOpenStandardInput) {
  SiteSession session;
  session.mode("captcha=after_login");
  CliRun run = session.command(
      {"collect", "--headless", "--keyword", "x", "--run-dir", session.run_dir("p").string()},
      /*with_account=*/true);
  run.stdin_text = "\n";
  CliResult result = run_vendro(run);
  EXPECT_EQ(result.exit_code, 3) << result.err;
  EXPECT_NE(result.err.find("已自动填写卖家精灵账号密码。如页面需要验证码或二次确认"),
            std::string::npos)
      << result.err;
  Json out = parse_result(result);  // the prompt never reaches stdout
  EXPECT_EQ(out["errors"][0]["code"], "SELLER_SPRITE_LOGIN_REQUIRED");
  EXPECT_EQ(session.stats()["login"]["attempts"], 1);

  // Nobody can answer: a clear error, and no browser left behind.
  run.stdin_text.clear();
  result = run_vendro(run);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("SELLER_SPRITE_NO_OPERATOR"), std::string::npos) << result.err;
  EXPECT_TRUE(no_browser_left(session));

  session.mode("captcha=none&login=open");
  CliRun login = session.command({"login", "--headless"});
  login.stdin_text = "\n";
  result = run_vendro(login);
  ASSERT_EQ(result.exit_code, 0) << result.err;
  Json state = parse_result(result);
  EXPECT_EQ(keys(state), (std::vector<std::string>{"profile_dir", "current_url", "logged_in"}));
  EXPECT_EQ(state["logged_in"], true);
  EXPECT_NE(result.err.find("请在打开的浏览器中完成卖家精灵登录"), std::string::npos);

  session.mode("login=required");
  result = run_vendro(login);
  EXPECT_EQ(result.exit_code, 3) << result.err;
  EXPECT_EQ(parse_result(result)["logged_in"], false);
}

TEST(SellerSpriteReliability, SignalsCloseTheBrowserAndTheProfileStaysUsable) {
  SiteSession session;
  session.mode("login=open&slow=keyword_mining:30000");
  for (int signal_number : {SIGINT, SIGTERM}) {
    const int before = hits(session, "keyword_mining");
    CliProcess collection(session.command(
        {"collect", "--headless", "--keyword", "x", "--run-dir", session.run_dir("s").string()}));
    ASSERT_TRUE(wait_for_hit(session, "keyword_mining", before, 60));
    ::kill(collection.pid(), signal_number);
    const auto signalled = Clock::now();
    CliResult result = collection.finish();
    EXPECT_EQ(result.exit_code, 128 + signal_number) << result.err;
    EXPECT_LT(Clock::now() - signalled, std::chrono::seconds(10));
    EXPECT_TRUE(no_browser_left(session));
  }
  session.mode("slow=");
  CliResult again = session.run(
      {"collect", "--headless", "--keyword", "x", "--run-dir", session.run_dir("t").string()});
  EXPECT_EQ(again.exit_code, 0) << again.err;
}

TEST(SellerSpriteReliability, ASecondCollectionOnTheProfileFailsAtOnce) {
  SiteSession session;
  // Slow enough to be still running when the second starts, quick enough for the answer wait.
  session.mode("login=open&slow=keyword_mining:2000");
  CliProcess first(session.command(
      {"collect", "--headless", "--keyword", "x", "--run-dir", session.run_dir("1").string()}));
  ASSERT_TRUE(wait_for_hit(session, "keyword_mining", 0, 60));
  const auto started = Clock::now();
  CliResult second =
      session.run({"status", "--headless", "--run-dir", session.run_dir("2").string()});
  EXPECT_LT(Clock::now() - started, std::chrono::seconds(5));
  EXPECT_EQ(second.exit_code, 1);
  EXPECT_NE(second.err.find("BROWSER_PROFILE_IN_USE"), std::string::npos) << second.err;
  CliResult result = first.finish();
  EXPECT_EQ(result.exit_code, 0) << result.err;
}

TEST(SellerSpriteReliability, ADyingBrowserOrSiteEndsTheCommandWithAClearError) {
  SiteSession session;
  session.mode("login=open&slow=keyword_mining:30000");
  CliProcess collection(session.command(
      {"collect", "--headless", "--keyword", "x", "--run-dir", session.run_dir("d").string()}));
  ASSERT_TRUE(wait_for_hit(session, "keyword_mining", 0, 60));
  for (const ProcessInfo& process : browsers_of(session)) ::kill(process.pid, SIGKILL);
  const auto killed = Clock::now();
  CliResult result = collection.finish();
  EXPECT_EQ(result.exit_code, 1) << result.err;
  EXPECT_LT(Clock::now() - killed, std::chrono::seconds(15));
  EXPECT_NE(result.err.find("BROWSER"), std::string::npos) << result.err;

  session.mode("slow=&down=1");
  result = session.run({"status", "--headless", "--run-dir", session.run_dir("e").string()});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("503"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find(session.site().origin() + "/v3/keyword-miner"), std::string::npos);

  CliRun unreachable =
      session.command({"collect", "--headless", "--run-dir", session.run_dir("u").string()});
  unreachable.env["VENDRO_SELLERSPRITE_ORIGIN"] = "http://127.0.0.1:9";
  result = run_vendro(unreachable);
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("127.0.0.1:9"), std::string::npos) << result.err;
  EXPECT_TRUE(no_browser_left(session));
}

TEST(SellerSpriteCli, RefusesBadOptionsAndManagesTheAccount) {
  SiteSession session;
  for (const char* timeout : {"0", "nan", "inf", "1e9", "x"}) {
    EXPECT_EQ(session.run({"collect", "--timeout", timeout}).exit_code, 2) << timeout;
  }
  EXPECT_EQ(session.run({"collect", "--trend-limit", "99999999999999999999"}).exit_code, 2);
  EXPECT_EQ(session.run({"collect", "--phrase-count", "-1"}).exit_code, 2);
  EXPECT_EQ(session.run({"collect", "--headless", "--headed"}).exit_code, 2);
  EXPECT_EQ(session.run({"reverse"}).exit_code, 2);  // --asin is required
  EXPECT_EQ(session.run({"mining", "--phrase-count", "3"}).exit_code, 2);
  EXPECT_EQ(session.run({"frequency", "--no-account"}).exit_code, 2);
  CliResult help = session.run({"collect", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("DISPLAY"), std::string::npos);
  EXPECT_NE(help.out.find("退出码"), std::string::npos);

  CliRun set = session.command({"account", "set", "--username", "13800138000"});
  set.stdin_text = "pa55word\n";
  CliResult saved = run_vendro(set);
  ASSERT_EQ(saved.exit_code, 0) << saved.err;
  EXPECT_EQ(saved.out.find("pa55word"), std::string::npos);
  CliResult shown = session.run({"account", "show"});
  ASSERT_EQ(shown.exit_code, 0) << shown.err;
  EXPECT_EQ(shown.out.find("pa55word"), std::string::npos);
  EXPECT_EQ(parse_result(shown)["username"], "13800138000");
  EXPECT_EQ(parse_result(shown)["password_set"], true);
  set.stdin_text.clear();
  EXPECT_EQ(run_vendro(set).exit_code, 1);  // no password to read
  EXPECT_EQ(parse_result(session.run({"account", "clear"}))["removed"], true);
  EXPECT_EQ(parse_result(session.run({"account", "show"}))["configured"], false);
}

}  // namespace
}  // namespace vendro::testing
