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

// A word that is no subcommand is named in the error with the ones that exist, and every usage
// line shows the whole command, from "vendro" on.
TEST(CliDriver, UsageErrorsNameTheUnknownWordAndTheWholeCommand) {
  auto top = run_vendro({.args = {"nosuch"}});
  EXPECT_EQ(top.exit_code, 2);
  EXPECT_NE(top.err.find("未知的子命令「nosuch」，可用：browser、keepa、"), std::string::npos)
      << top.err;
  for (const std::string group : {"browser", "keepa", "shopify", "sif", "xiyou"}) {
    auto unknown = run_vendro({.args = {group, "nosuch"}});
    EXPECT_EQ(unknown.exit_code, 2) << group;
    EXPECT_NE(unknown.err.find("未知的子命令「nosuch」"), std::string::npos) << unknown.err;
    EXPECT_NE(unknown.err.find("用法: vendro " + group + " [选项] 子命令"), std::string::npos)
        << unknown.err;
  }
  const std::vector<std::vector<std::string>> commands = {
      {"browser", "check"},   {"keepa", "time"},         {"keepa", "convert"}, {"shopify", "build"},
      {"shopify", "preview"}, {"sif", "site"},           {"sif", "compare"},   {"upload"},
      {"xiyou", "notify"},    {"xiyou", "token-invalid"}};
  for (std::vector<std::string> args : commands) {
    std::string command = "vendro";
    for (const std::string& word : args) command += " " + word;
    args.push_back("--bogus");
    auto result = run_vendro({.args = args});
    EXPECT_EQ(result.exit_code, 2) << command;
    EXPECT_NE(result.err.find("用法: " + command + " "), std::string::npos) << result.err;
  }
}

// Every "--timeout" goes through one check: decimal seconds within the command's range; NaN,
// infinities, values past the range, blanks and trailing garbage are usage errors that name the
// range and the value, before any work starts.
TEST(CliDriver, TimeoutsAreCheckedSecondsWithinEachCommandsRange) {
  const std::vector<std::string> collect = {"seller-sprite", "collect", "--timeout"};
  const std::vector<std::string> compare = {"sif", "compare", "--asin", "B0A", "--timeout"};
  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {collect, "nan"}, {collect, "inf"}, {collect, "0.5"}, {collect, "3601"}, {collect, "12x"},
      {collect, " "},   {compare, "0"},   {compare, "1e9"}, {compare, "-1"},   {compare, "0.0009"},
  };
  for (const auto& [command, value] : refused) {
    std::vector<std::string> args = command;
    args.push_back(value);
    auto result = run_vendro({.args = args});
    EXPECT_EQ(result.exit_code, 2) << value;
    EXPECT_NE(result.err.find("之间的秒数，收到「" + value + "」"), std::string::npos)
        << value << result.err;
  }
}

}  // namespace
}  // namespace vendro

namespace vendro {
namespace {

// `vendro mcp` refuses what it cannot serve safely before it listens on anything.
TEST(CliDriver, ToolServerRefusesBadAddressesAndUnguardedNonLoopbackBinds) {
  auto bad = run_vendro({.args = {"mcp", "--http", "localhost"}});
  EXPECT_EQ(bad.exit_code, 1);
  EXPECT_NE(bad.err.find("--http 须是 地址:端口"), std::string::npos) << bad.err;
  auto unguarded = run_vendro({.args = {"mcp", "--http", "0.0.0.0:0"}});
  EXPECT_EQ(unguarded.exit_code, 1);
  EXPECT_NE(unguarded.err.find("0.0.0.0"), std::string::npos) << unguarded.err;
  auto stray = run_vendro({.args = {"mcp", "--allow-origin", "https://a.example"}});
  EXPECT_EQ(stray.exit_code, 1);
  EXPECT_NE(stray.err.find("只用于 --http"), std::string::npos) << stray.err;
  EXPECT_EQ(stray.out, "");
}

}  // namespace
}  // namespace vendro
