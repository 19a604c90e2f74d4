// `vendro rufus ...` end to end: headless Chromium against the local TLS stand-in of an Amazon
// product page and its Rufus streaming endpoint, reached by the real host names.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <thread>

#include "browser/process_scan.hpp"
#include "rufus_site.hpp"
#include "support/cli_runner.hpp"
#include "support/temp_dir.hpp"
#include "vendro/amazon_rufus/models.hpp"
#include "vendro/browser/executable.hpp"

namespace vendro::testing {
namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* COOKIE = "session-id=130-1234567-7654321; at-main=Atza|test; ubid-main=130";
constexpr const char* FINAL_SUFFIX = "；已重新打开 Amazon 商品页并重试 3 次。";

void write_file(const std::filesystem::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class RufusCliTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!browser::try_find_executable()) GTEST_SKIP() << "no Chromium executable";
    site_.start();
    std::filesystem::create_directories(tmp());
    write_file(dir_.path() / "cookie", std::string(COOKIE) + "\n");
  }

  std::filesystem::path tmp() const { return dir_.path() / "tmp"; }
  std::string cookie_file() const { return (dir_.path() / "cookie").string(); }

  // The browser's switches go through the environment like an operator's would; TMPDIR holds
  // every temporary profile, so what is left of one is seen.
  CliRun command(std::vector<std::string> args) const {
    args.insert(args.begin(), "rufus");
    CliRun run{.args = std::move(args)};
    run.env["VENDRO_CHROMIUM_ARGS"] = site_.chromium_args();
    run.env["TMPDIR"] = tmp().string();
    run.env["VENDRO_CONFIG_DIR"] = (dir_.path() / "config").string();
    run.env["VENDRO_RUFUS_COOKIE"] = std::nullopt;
    return run;
  }
  CliResult run(std::vector<std::string> args) const {
    return run_vendro(command(std::move(args)));
  }

  std::vector<std::string> capture_args(std::vector<std::string> more = {},
                                        const std::string& asin = "B0TEST0001",
                                        const std::string& country = "US") const {
    std::vector<std::string> args = {"capture", "--asin",        asin,         "--country",
                                     country,   "--cookie-file", cookie_file()};
    args.insert(args.end(), more.begin(), more.end());
    return args;
  }

  // No browser process and no temporary profile outlives a command.
  bool nothing_left() const {
    for (int i = 0; i < 50; ++i) {
      const bool no_process = live_processes_of(0, tmp().string()).empty();
      const bool no_files = std::filesystem::is_empty(tmp());
      if (no_process && no_files) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  }

  TempDir dir_;
  RufusSite site_;
};

Json parse_output(const CliResult& result) {
  Json parsed = Json::parse(result.out, nullptr, false);
  EXPECT_FALSE(parsed.is_discarded()) << "stdout: " << result.out << "\nstderr: " << result.err;
  return parsed;
}

TEST_F(RufusCliTest, CapturesTheFirstStreamingRequestAndKeepsTheSeedPrivate) {
  const auto out = dir_.path() / "seeds" / "seed.json";
  CliResult result = run(capture_args({"--out", out.string()}, " b0test0001 ", "us"));
  ASSERT_EQ(result.exit_code, 0) << result.err;
  Json seed = parse_output(result);
  std::vector<std::string> keys;
  for (const auto& [key, value] : seed.items()) keys.push_back(key);
  EXPECT_EQ(keys,
            (std::vector<std::string>{"request_url", "request_headers", "request_body", "page_url",
                                      "tab_id", "asin", "country", "captured_at"}));
  const std::string url = seed["request_url"];
  EXPECT_TRUE(url.starts_with("https://www.amazon.com/rufus/cl/streaming?")) << url;
  EXPECT_EQ(seed["page_url"], "https://www.amazon.com/dp/b0test0001");
  EXPECT_EQ(seed["asin"], "B0TEST0001");
  EXPECT_EQ(seed["country"], "US");
  EXPECT_FALSE(seed["tab_id"].get<std::string>().empty());
  EXPECT_NE(url.find("tabId=" + seed["tab_id"].get<std::string>()), std::string::npos);
  EXPECT_EQ(seed["request_headers"]["anti-csrftoken-a2z"], site_.csrf_token("130-1234567-7654321"));
  EXPECT_TRUE(Json::parse(seed["request_body"].get<std::string>()).contains("queryContext"));

  struct stat info {};
  ASSERT_EQ(::stat(out.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600);
  EXPECT_EQ(amazon_rufus::load_seed(out).to_json(), seed);
  EXPECT_EQ(site_.stats().signed_in_page_hits, 1);
  EXPECT_TRUE(nothing_left());
}

// The cookie is a secret: never an option's value. It comes from a file, standard input or the
// environment (an option wins); a storage state signs in instead of it.
TEST_F(RufusCliTest, TakesTheSignInFromFileStdinEnvironmentOrStorageState) {
  CliResult plain = run({"capture", "--asin", "B0TEST0001", "--country", "US", "--cookie", "a=b"});
  EXPECT_EQ(plain.exit_code, 2);
  EXPECT_NE(plain.err.find("cookie 不能直接写在命令行上"), std::string::npos) << plain.err;
  EXPECT_EQ(plain.err.find("a=b"), std::string::npos) << plain.err;

  CliResult none = run({"capture", "--asin", "B0TEST0001", "--country", "US"});
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_NE(none.err.find("cookie 不能为空"), std::string::npos) << none.err;

  CliRun from_stdin =
      command({"capture", "--asin", "B0TEST0001", "--country", "US", "--cookie", "-"});
  from_stdin.stdin_text = COOKIE;
  EXPECT_EQ(run_vendro(from_stdin).exit_code, 0);

  CliRun from_env = command({"capture", "--asin", "B0TEST0001", "--country", "US"});
  from_env.env["VENDRO_RUFUS_COOKIE"] = COOKIE;
  EXPECT_EQ(run_vendro(from_env).exit_code, 0);
  // The file's cookie wins over the environment's stale one.
  CliRun file_wins = command(capture_args());
  file_wins.env["VENDRO_RUFUS_COOKIE"] = "session-id=; at-main=";
  EXPECT_EQ(run_vendro(file_wins).exit_code, 0);

  Json state = {{"cookies", Json::array()}, {"origins", Json::array()}};
  for (auto [name, value] : {std::pair{"session-id", "130-1"}, {"at-main", "Atza|state"}}) {
    state["cookies"].push_back({{"name", name},
                                {"value", value},
                                {"domain", "www.amazon.com"},
                                {"path", "/"},
                                {"expires", -1},
                                {"httpOnly", false},
                                {"secure", true},
                                {"sameSite", "Lax"}});
  }
  write_file(dir_.path() / "state.json", state.dump());
  CliResult stored = run({"capture", "--asin", "B0TEST0001", "--country", "US", "--storage-state",
                          (dir_.path() / "state.json").string()});
  EXPECT_EQ(stored.exit_code, 0) << stored.err;
  EXPECT_EQ(site_.stats().signed_in_page_hits, 4);

  CliResult unknown = run(capture_args({}, "B0TEST0001", "XX"));
  EXPECT_EQ(unknown.exit_code, 1);
  EXPECT_NE(unknown.err.find("未知的亚马逊站点: XX（可用: US, CA"), std::string::npos)
      << unknown.err;
}

TEST_F(RufusCliTest, ALateRequestIsCaughtAndMissingOnesEndInTheOperatorsMessages) {
  site_.set_mode("send", "late");
  site_.set_mode("late_ms", "1500");
  CliResult late = run(capture_args());
  EXPECT_EQ(late.exit_code, 0) << late.err;
  EXPECT_EQ(site_.stats().page_hits, 1);

  // A decoy path is no Rufus request: the one attempt waits out the deadline, the next finds
  // none left.
  site_.reset();
  site_.set_mode("send", "decoy");
  CliResult decoy = run(capture_args({"--timeout", "10"}));
  EXPECT_EQ(decoy.exit_code, 1);
  EXPECT_NE(decoy.err.find(std::string("headless 捕获超时") + FINAL_SUFFIX), std::string::npos)
      << decoy.err;
  EXPECT_GE(site_.stats().decoy_posts, 1);

  // Navigation failures: four attempts, then the last failure's kind and the suffix.
  site_.reset();
  site_.set_mode("failing_page", "close");
  CliResult failing = run(capture_args({"--timeout", "30"}));
  EXPECT_EQ(failing.exit_code, 1);
  EXPECT_NE(failing.err.find("headless 捕获失败: "), std::string::npos) << failing.err;
  EXPECT_NE(failing.err.find(FINAL_SUFFIX), std::string::npos) << failing.err;
  EXPECT_GE(site_.stats().page_hits, 4);  // Chromium may retry a closed GET once

  // A 503 page loads but sends nothing: every attempt ends without the request.
  site_.reset();
  site_.set_mode("failing_page", "503");
  site_.set_mode("send", "none");
  CliResult no_request = run(capture_args({"--timeout", "3"}));
  EXPECT_EQ(no_request.exit_code, 1);
  EXPECT_NE(no_request.err.find("headless 捕获超时"), std::string::npos) << no_request.err;

  // No time at all: no page is opened.
  site_.reset();
  CliResult zero = run(capture_args({"--timeout", "0"}));
  EXPECT_EQ(zero.exit_code, 1);
  EXPECT_NE(zero.err.find(std::string("headless 捕获超时") + FINAL_SUFFIX), std::string::npos)
      << zero.err;
  EXPECT_EQ(site_.stats().page_hits, 0);

  // A page slower than the deadline: the navigation times out.
  site_.set_mode("slow_page_ms", "20000");
  CliResult slow = run(capture_args({"--timeout", "3"}));
  EXPECT_EQ(slow.exit_code, 1);
  EXPECT_NE(slow.err.find("headless 捕获"), std::string::npos) << slow.err;
  EXPECT_NE(slow.err.find(FINAL_SUFFIX), std::string::npos) << slow.err;
  EXPECT_TRUE(nothing_left());
}

// Three questions in one thread: null first, then the id the first answer named, kept while an
// answer names none.
TEST_F(RufusCliTest, AsksQuestionsInOneThreadFromAKeptOrACapturedSeed) {
  const auto seed = dir_.path() / "seed.json";
  ASSERT_EQ(run(capture_args({"--out", seed.string()})).exit_code, 0);
  // The product page opened for the replay sends nothing of its own now, so the stand-in's
  // answers are the replays' alone; the second carries no thread id.
  site_.reset();
  site_.set_mode("send", "none");
  site_.set_mode("no_thread_id_calls", "2");
  CliResult asked = run({"ask", "--asin", "B0TEST0001", "--country", "US", "--cookie-file",
                         cookie_file(), "--seed", seed.string(), "--question", "防水吗？",
                         "--question", "续航多久？", "--question", "有保修吗？"});
  ASSERT_EQ(asked.exit_code, 0) << asked.err;
  Json answers = parse_output(asked);
  ASSERT_EQ(answers.size(), 3u) << answers.dump();
  EXPECT_EQ(answers[0]["question"], "防水吗？");
  EXPECT_NE(answers[0]["text"].get<std::string>().find("防水吗？"), std::string::npos);
  ASSERT_TRUE(answers[0]["thread_id"].is_string());
  EXPECT_TRUE(answers[1]["thread_id"].is_null());
  EXPECT_EQ(answers[2]["thread_id"], answers[0]["thread_id"]);

  const std::vector<RufusStreamingPost> posts = site_.stats().streaming;
  ASSERT_EQ(posts.size(), 3u);
  EXPECT_TRUE(posts[0].thread_id.is_null());
  EXPECT_EQ(posts[1].thread_id, answers[0]["thread_id"]);
  EXPECT_EQ(posts[2].thread_id, answers[0]["thread_id"]);
  for (const RufusStreamingPost& post : posts) {
    EXPECT_EQ(post.status, 200);
    EXPECT_TRUE(post.headers.contains("anti-csrftoken-a2z")) << post.to_json().dump();
  }

  // No seed: one is captured first. A questions file, blank lines skipped.
  site_.reset();
  write_file(dir_.path() / "questions.txt", "尺寸多大？\n\n  \n颜色有哪些？\n");
  CliResult captured =
      run({"ask", "--asin", "B0TEST0001", "--country", "US", "--cookie-file", cookie_file(),
           "--questions-file", (dir_.path() / "questions.txt").string()});
  ASSERT_EQ(captured.exit_code, 0) << captured.err;
  Json from_file = parse_output(captured);
  ASSERT_EQ(from_file.size(), 2u);
  EXPECT_EQ(from_file[1]["question"], "颜色有哪些？");
  EXPECT_NE(from_file[1]["text"].get<std::string>().find("颜色有哪些？"), std::string::npos);

  CliResult other = run({"ask", "--asin", "B0OTHER001", "--country", "US", "--cookie-file",
                         cookie_file(), "--seed", seed.string(), "--question", "q"});
  EXPECT_EQ(other.exit_code, 1);
  EXPECT_NE(other.err.find("不一致"), std::string::npos) << other.err;
  EXPECT_TRUE(nothing_left());
}

// A missing browser is installed once through our own executable, then launched again.
TEST_F(RufusCliTest, RepairsAMissingBrowserOnceThroughTheInstaller) {
  const auto target = dir_.path() / "bin" / "chromium";
  const auto marker = dir_.path() / "installer-ran";
  const std::string real = browser::find_executable().string();
  const auto failing = dir_.path() / "fail.sh";
  write_file(failing, "#!/bin/sh\necho ran >> '" + marker.string() +
                          "'\necho 'E: Unable to locate package chromium' >&2\nexit 100\n");
  const auto succeeding = dir_.path() / "ok.sh";
  write_file(succeeding, "#!/bin/sh\necho ran >> '" + marker.string() + "'\nmkdir -p '" +
                             target.parent_path().string() + "' && ln -s '" + real + "' '" +
                             target.string() + "'\n");
  std::filesystem::permissions(failing, std::filesystem::perms::owner_all);
  std::filesystem::permissions(succeeding, std::filesystem::perms::owner_all);

  CliRun broken = command(capture_args());
  broken.env["VENDRO_CHROMIUM"] = target.string();
  broken.env["VENDRO_BROWSER_INSTALLER"] = failing.string();
  CliResult failed = run_vendro(broken);
  EXPECT_EQ(failed.exit_code, 1);
  EXPECT_NE(failed.err.find(
                "无法启动 headless Chromium；已尝试自动安装 Playwright Chromium，但安装失败。"),
            std::string::npos)
      << failed.err;
  EXPECT_NE(failed.err.find("Unable to locate package chromium"), std::string::npos) << failed.err;

  CliRun repaired = broken;
  repaired.env["VENDRO_BROWSER_INSTALLER"] = succeeding.string();
  CliResult fixed = run_vendro(repaired);
  EXPECT_EQ(fixed.exit_code, 0) << fixed.err;

  // A browser that is there but cannot start is not "missing": no installation.
  std::filesystem::remove(marker);
  CliRun unusable = command(capture_args());
  unusable.env["VENDRO_CHROMIUM"] = "/bin/false";
  unusable.env["VENDRO_BROWSER_INSTALLER"] = succeeding.string();
  CliResult refused = run_vendro(unusable);
  EXPECT_EQ(refused.exit_code, 1);
  EXPECT_NE(refused.err.find("无法启动 headless Chromium"), std::string::npos) << refused.err;
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_TRUE(nothing_left());
}

TEST_F(RufusCliTest, SignalsLeaveNoBrowserOrProfileBehind) {
  site_.set_mode("send", "late");
  site_.set_mode("late_ms", "60000");
  for (int signal_number : {SIGINT, SIGTERM}) {
    const int before = site_.stats().page_hits;
    CliProcess capture(command(capture_args()));
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    while (site_.stats().page_hits == before && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ASSERT_GT(site_.stats().page_hits, before);
    ::kill(capture.pid(), signal_number);
    CliResult result = capture.finish();
    EXPECT_NE(result.exit_code, 0);
    EXPECT_TRUE(nothing_left());
  }
}

}  // namespace
}  // namespace vendro::testing
