// `vendro xiyou` end to end, including twenty processes alerting at once on one state file.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "support/cli_runner.hpp"
#include "support/temp_dir.hpp"
#include "vendro/core/json.hpp"
#include "xiyou/robot_stand_in.hpp"

namespace vendro {
namespace {

using testing::read_file;
using testing::RobotStandIn;
using testing::run_vendro;
using testing::TempDir;
using testing::write_file;

class XiyouCliTest : public ::testing::Test {
 protected:
  std::map<std::string, std::optional<std::string>> env() const {
    return {{"VENDRO_CONFIG_DIR", (dir_ / "config").string()},
            {"VENDRO_XIYOU_NOTIFY_PATH", config_path().string()},
            {"VENDRO_XIYOU_AUTHORIZATION", std::nullopt}};
  }
  std::filesystem::path config_path() const { return dir_ / "alerts" / "notify.yaml"; }
  std::filesystem::path state_path() const { return dir_ / "alerts" / "notify_state.json"; }
  // Nothing beside the configuration and the state: no lock file, no temporary file.
  void expect_only_config_and_state() const {
    for (const auto& entry : std::filesystem::directory_iterator(state_path().parent_path())) {
      const auto name = entry.path().filename();
      EXPECT_TRUE(name == "notify.yaml" || name == "notify_state.json") << entry.path();
    }
  }

  TempDir dir_;
  RobotStandIn robot_;
};

TEST_F(XiyouCliTest, NotifyPrintsTheResultMap) {
  write_file(config_path(), "wechat_work:\n  webhook_url: " + robot_.webhook_url() + "\n");
  std::vector<std::string> args = {"xiyou", "notify",   "--reason", "api_error",    "--status-code",
                                   "401",   "--job-id", "sif-1",    "--expires-at", "2026-03-01"};
  auto first = run_vendro({.args = args, .env = env()});
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(first.out, "{\n  \"sent\": true,\n  \"dedupe_key\": \"token_required\"\n}\n");
  auto second = run_vendro({.args = args, .env = env()});
  EXPECT_EQ(Json::parse(second.out)["reason"], "deduped");
  args.push_back("--force");
  EXPECT_EQ(Json::parse(run_vendro({.args = args, .env = env()}).out)["sent"], true);
  ASSERT_EQ(robot_.count(), 2u);
  std::string content = robot_.messages().at(0)["text"]["content"];
  EXPECT_NE(content.find("阻塞业务：sif-1"), std::string::npos);
  EXPECT_NE(content.find("当前过期时间：2026-03-01"), std::string::npos);
  EXPECT_TRUE(Json::parse(read_file(state_path())).contains("token_required"));

  // A failed send is a result, not an error.
  robot_.answer(500, "down");
  auto failed = run_vendro({.args = {"xiyou", "notify", "--reason", "other"}, .env = env()});
  EXPECT_EQ(failed.exit_code, 0);
  EXPECT_EQ(Json::parse(failed.out)["reason"], "http_error");
}

TEST_F(XiyouCliTest, NotifyReportsConfigurationErrorsAndUsage) {
  auto unconfigured = run_vendro({.args = {"xiyou", "notify", "--reason", "r"}, .env = env()});
  EXPECT_EQ(Json::parse(unconfigured.out), (Json{{"sent", false}, {"reason", "not_configured"}}));

  write_file(config_path(), "webhook_url: !!python/object/apply:os.system [id]\n");
  auto tagged = run_vendro({.args = {"xiyou", "notify", "--reason", "r"}, .env = env()});
  EXPECT_EQ(tagged.exit_code, 1);
  EXPECT_NE(tagged.err.find("错误 [YAML_ERROR]"), std::string::npos) << tagged.err;

  EXPECT_EQ(run_vendro({.args = {"xiyou", "notify"}, .env = env()}).exit_code, 2);
  EXPECT_EQ(run_vendro({.args = {"xiyou", "notify", "--reason", "r", "--status-code", "abc"},
                        .env = env()})
                .exit_code,
            2);
  EXPECT_EQ(robot_.count(), 0u);
}

TEST_F(XiyouCliTest, TokenInvalidPrintsTrueOrFalse) {
  auto ask = [&](std::vector<std::string> extra) {
    std::vector<std::string> args = {"xiyou", "token-invalid"};
    args.insert(args.end(), extra.begin(), extra.end());
    auto result = run_vendro({.args = args, .env = env()});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    return result.out;
  };
  EXPECT_EQ(ask({"--status-code", "401", "--business-code", ""}), "true\n");
  EXPECT_EQ(ask({"--status-code", "200", "--business-code", "TokenExpired"}), "true\n");
  EXPECT_EQ(ask({"--status-code", "400", "--business-code", "tokenexpired"}), "false\n");
  EXPECT_EQ(ask({"--business-code", "TokenFreeTrialExpired"}), "true\n");
}

// Twenty processes alert at once, each under its own key, while another thread keeps reading the
// state file. Every read sees a complete JSON object, and no process's entry is lost: the
// read-modify-write runs under a lock, so last-writer-wins never drops another key.
TEST_F(XiyouCliTest, TwentyConcurrentAlertsKeepTheStateFileWhole) {
  write_file(config_path(), "webhook_url: " + robot_.webhook_url() + "\n");
  write_file(state_path(), R"({"earlier::": 1.5})");
  constexpr int PROCESSES = 20;
  std::atomic<bool> running{true};
  std::atomic<int> reads{0};
  std::vector<std::string> bad_reads;
  std::thread reader([&] {
    while (running) {
      std::string text;
      try {
        text = read_file(state_path());
      } catch (const std::exception&) {
        bad_reads.push_back("(file missing)");
        continue;
      }
      Json parsed = Json::parse(text, nullptr, false);
      if (!parsed.is_object() || parsed.empty()) bad_reads.push_back(text);
      ++reads;
    }
  });
  std::vector<testing::CliResult> results(PROCESSES);
  std::vector<std::thread> alerts;
  for (int i = 0; i < PROCESSES; ++i) {
    alerts.emplace_back([&, i] {
      results[i] = run_vendro(
          {.args = {"xiyou", "notify", "--reason", "job" + std::to_string(i)}, .env = env()});
    });
  }
  for (auto& t : alerts) t.join();
  running = false;
  reader.join();

  for (int i = 0; i < PROCESSES; ++i) {
    ASSERT_EQ(results[i].exit_code, 0) << results[i].err;
    EXPECT_EQ(Json::parse(results[i].out)["sent"], true);
  }
  EXPECT_TRUE(bad_reads.empty()) << bad_reads.size() << " bad reads, first: " << bad_reads[0];
  EXPECT_GT(reads.load(), 0);
  Json state = Json::parse(read_file(state_path()));
  EXPECT_EQ(state.size(), PROCESSES + 1u);
  EXPECT_EQ(state["earlier::"], 1.5);
  for (int i = 0; i < PROCESSES; ++i) {
    EXPECT_TRUE(state.contains("job" + std::to_string(i) + "::")) << i;
  }
  EXPECT_EQ(robot_.count(), static_cast<std::size_t>(PROCESSES));
  expect_only_config_and_state();
}

// Twenty processes raise the same alert at once: the check, the send and the record happen under
// one lock, so the robot hears it once and the others report it deduplicated.
TEST_F(XiyouCliTest, TwentyConcurrentRunsOfOneAlertSendOnce) {
  write_file(config_path(), "webhook_url: " + robot_.webhook_url() + "\n");
  constexpr int PROCESSES = 20;
  std::vector<testing::CliResult> results(PROCESSES);
  std::vector<std::thread> alerts;
  for (int i = 0; i < PROCESSES; ++i) {
    alerts.emplace_back([&, i] {
      results[i] = run_vendro({.args = {"xiyou", "notify", "--reason", "api_error", "--status-code",
                                        "401", "--job-id", std::to_string(i)},
                               .env = env()});
    });
  }
  for (auto& t : alerts) t.join();
  int sent = 0, deduped = 0;
  for (const auto& result : results) {
    ASSERT_EQ(result.exit_code, 0) << result.err;
    const Json printed = Json::parse(result.out);
    EXPECT_EQ(printed["dedupe_key"], "token_required");
    if (printed["sent"] == true) {
      ++sent;
    } else if (printed["reason"] == "deduped") {
      ++deduped;
    }
  }
  EXPECT_EQ(sent, 1);
  EXPECT_EQ(deduped, PROCESSES - 1);
  EXPECT_EQ(robot_.count(), 1u);
  EXPECT_TRUE(Json::parse(read_file(state_path())).contains("token_required"));
  expect_only_config_and_state();
}

}  // namespace
}  // namespace vendro
