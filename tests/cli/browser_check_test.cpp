// `vendro browser check`, run as the operator would.

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace vendro::testing
