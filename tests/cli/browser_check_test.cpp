// `vendro browser check`, run as the operator would.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

#include "browser/process_scan.hpp"
#include "support/cli_runner.hpp"
#include "support/temp_dir.hpp"
#include "vendro/core/json.hpp"

namespace vendro::testing {
namespace {

TEST(BrowserCheckCommandTest, ReportsTheExecutableVersionAndAWorkingLaunch) {
  TempDir config;
  auto result = run_vendro(
      {.args = {"browser", "check"}, .env = {{"VENDRO_CONFIG_DIR", config.path().string()}}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  Json report = Json::parse(result.out);
  EXPECT_EQ(report["ok"], true);
  EXPECT_FALSE(report["executable"].get<std::string>().empty());
  EXPECT_NE(report["version"].get<std::string>().find("Chrom"), std::string::npos);
  EXPECT_EQ(report["headless_launch"], true);
  EXPECT_EQ(report["page_load"], true);
  EXPECT_TRUE(report["error"].is_null());
}

TEST(BrowserCheckCommandTest, MissingBrowserSaysHowToInstallOne) {
  TempDir config;
  auto result = run_vendro({.args = {"browser", "check"},
                            .env = {{"VENDRO_CONFIG_DIR", config.path().string()},
                                    {"VENDRO_CHROMIUM", std::nullopt},
                                    {"PATH", "/nonexistent-dir"}}});
  EXPECT_EQ(result.exit_code, 1);
  Json report = Json::parse(result.out);
  EXPECT_EQ(report["ok"], false);
  EXPECT_TRUE(report["executable"].is_null());
  EXPECT_NE(report["error"].get<std::string>().find("Executable doesn't exist"), std::string::npos);
  EXPECT_NE(report["hint"].get<std::string>().find("apt-get install chromium"), std::string::npos);
  EXPECT_NE(report["hint"].get<std::string>().find("/Applications"), std::string::npos);
  EXPECT_NE(result.err.find("未找到 Chromium 浏览器"), std::string::npos) << result.err;
}

TEST(BrowserCheckCommandTest, ExecutableThatHangsOrFloodsEndsInTimeAndLeavesNothing) {
  TempDir config;
  TempDir scripts;
  write_script(scripts, "hang",
               "echo $$ >> \"$PIDS\"\n"
               "sleep 300 & echo $! >> \"$PIDS\"\n"
               "sleep 300 & echo $! >> \"$PIDS\"\n"
               "wait\n");
  write_script(scripts, "flood", "echo $$ >> \"$PIDS\"\nexec tr '\\000' x < /dev/zero\n");
  struct Check {
    std::string script;
    TempDir tmpdir;
    CliResult result;
    std::chrono::steady_clock::duration spent{};
  };
  Check hang{.script = "hang"}, flood{.script = "flood"};
  // Both at once: each takes the launch timeout.
  std::vector<std::thread> runs;
  for (Check* check : {&hang, &flood}) {
    runs.emplace_back([&, check] {
      const auto start = std::chrono::steady_clock::now();
      check->result = run_vendro({.args = {"browser", "check"},
                                  .env = {{"VENDRO_CONFIG_DIR", config.path().string()},
                                          {"VENDRO_CHROMIUM", (scripts / check->script).string()},
                                          {"TMPDIR", check->tmpdir.path().string()}}});
      check->spent = std::chrono::steady_clock::now() - start;
    });
  }
  for (auto& run : runs) run.join();
  for (Check* check : {&hang, &flood}) {
    SCOPED_TRACE(check->script);
    EXPECT_LT(check->spent, std::chrono::seconds(25));
    EXPECT_EQ(check->result.exit_code, 1) << check->result.err;
    Json report = Json::parse(check->result.out);
    EXPECT_EQ(report["ok"], false);
    EXPECT_EQ(report["executable"], (scripts / check->script).string());
    EXPECT_TRUE(report["version"].is_null()) << report.dump();
    EXPECT_EQ(report["headless_launch"], false);
    EXPECT_NE(report["error"].get<std::string>().find("没有按时响应"), std::string::npos)
        << report.dump();
    EXPECT_TRUE(none_survive(scripts, check->script))
        << ::testing::PrintToString(survivors(scripts, check->script));
    EXPECT_TRUE(std::filesystem::is_empty(check->tmpdir.path()));
  }
}

}  // namespace
}  // namespace vendro::testing
