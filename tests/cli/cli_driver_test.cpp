#include <gtest/gtest.h>

#include "support/cli_runner.hpp"
#include "vendro/core/environment.hpp"

namespace vendro {
namespace {

using testing::run_vendro;

TEST(CliDriver, VersionAndHelp) {
  auto version = run_vendro({.args = {"--version"}});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_EQ(version.out, get_version() + "\n");

  auto help = run_vendro({.args = {"--help"}});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("跨境电商运营工具箱"), std::string::npos) << help.out;
}

TEST(CliDriver, UsageErrorsExitTwoWithUsageOnStderr) {
  for (const auto& args :
       std::vector<std::vector<std::string>>{{}, {"no-such-group"}, {"--bogus"}}) {
    auto result = run_vendro({.args = args});
    EXPECT_EQ(result.exit_code, 2) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_NE(result.err.find("用法错误"), std::string::npos) << result.err;
    EXPECT_NE(result.err.find("用法: vendro"), std::string::npos) << result.err;
  }
}

}  // namespace
}  // namespace vendro
