// Installing Chromium with VENDRO_BROWSER_INSTALLER standing in for the package manager (small
// scripts in a temporary directory), in the library, through the installer child and from the
// command line. The real apt-get never runs here: every test sets VENDRO_BROWSER_INSTALLER.

#include "vendro/browser/installer.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>

#include "browser/process_scan.hpp"
#include "support/cli_runner.hpp"
#include "support/temp_dir.hpp"
#include "vendro/browser/errors.hpp"

namespace vendro::testing {
namespace {

using namespace std::chrono_literals;

class InstallerTest : public ::testing::Test {
 protected:
  InstallerTest() { write_script(dir_, "chromium", "exit 0\n"); }

  // Makes script NAME the installer for this test; `args` follow it on the command line.
  std::string use_installer(const std::string& name, const std::string& body,
                            const std::string& args = "") {
    const std::string value = "'" + write_script(dir_, name, body).string() + "'" + args;
    installer_.emplace("VENDRO_BROWSER_INSTALLER", value);
    return value;
  }
  std::string chromium() const { return (dir_ / "chromium").string(); }

  // What `vendro ARGS` does with this test's installer and browser.
  CliResult vendro(std::vector<std::string> args,
                   std::map<std::string, std::optional<std::string>> env = {}) {
    env.emplace("VENDRO_BROWSER_INSTALLER", std::getenv("VENDRO_BROWSER_INSTALLER"));
    env.emplace("VENDRO_CHROMIUM", chromium());
    env.emplace("VENDRO_CONFIG_DIR", (dir_ / "config").string());
    return run_vendro({.args = std::move(args), .env = std::move(env)});
  }

  TempDir dir_;
  // A failing installer unless a test chooses another, so that nothing real ever runs.
  std::optional<ScopedEnv> installer_{std::in_place, "VENDRO_BROWSER_INSTALLER", "false"};
  ScopedEnv browser_{"VENDRO_CHROMIUM", chromium()};
  ScopedEnv timeout_{"VENDRO_BROWSER_INSTALL_TIMEOUT", std::nullopt};
};

TEST_F(InstallerTest, SucceedingInstallerReportsTheBrowserFoundAfterwards) {
  use_installer("ok", "printf '%s|' \"$@\" > \"$PIDS.args\"\nread line && exit 9\nexit 0\n",
                " --flag 'two words'");
  const browser::InstallResult result = browser::install_chromium();
  EXPECT_EQ(result.executable, chromium());
  ASSERT_EQ(result.command.size(), 3u);
  EXPECT_EQ(result.command[1], "--flag");
  EXPECT_EQ(result.command[2], "two words");
  // Split like VENDRO_CHROMIUM_ARGS, no shell in between; standard input at its end at once.
  EXPECT_EQ(read_file(dir_ / "ok.pids.args"), "--flag|two words|");
  const Json json = result.to_json();
  EXPECT_EQ(json.dump(),
            Json({{"ok", true}, {"executable", chromium()}, {"command", result.command}}).dump());
}

TEST_F(InstallerTest, FailingInstallerKeepsItsOutputAndNamesTheCommand) {
  use_installer("broken", "echo progress\necho 'E: disk full' >&2\nexit 7\n");
  try {
    browser::install_chromium();
    FAIL() << "no error";
  } catch (const browser::InstallError& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find("以退出码 7 结束"), std::string::npos) << message;
    EXPECT_NE(message.find("E: disk full"), std::string::npos) << message;
    EXPECT_NE(message.find("请手动执行：" + (dir_ / "broken").string()), std::string::npos)
        << message;
    EXPECT_EQ(e.code(), "BROWSER_INSTALL_ERROR");
    ASSERT_TRUE(e.run);
    EXPECT_EQ(e.run->exit_code, 7);
    EXPECT_EQ(e.run->out, "progress\n");
    EXPECT_EQ(e.output(), "E: disk full\n");
  }

  // Silent on stderr: its standard output is what it said.
  use_installer("quiet", "echo 'only here'\nexit 1\n");
  try {
    browser::install_chromium();
    FAIL() << "no error";
  } catch (const browser::InstallError& e) {
    EXPECT_EQ(e.output(), "only here\n");
  }

  // Succeeded, yet no browser where VENDRO_CHROMIUM says.
  use_installer("ok", "exit 0\n");
  ScopedEnv missing("VENDRO_CHROMIUM", (dir_ / "missing").string());
  try {
    browser::install_chromium();
    FAIL() << "no error";
  } catch (const browser::InstallError& e) {
    EXPECT_NE(std::string(e.what()).find("仍找不到 Chromium"), std::string::npos) << e.what();
    const auto chain = error_chain(e);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_NE(chain[1].find("Executable doesn't exist"), std::string::npos);
  }
}

TEST_F(InstallerTest, HangingInstallerIsKilledWithItsChildrenAtTheBound) {
  use_installer("hang", "echo $$ >> \"$PIDS\"\nsleep 100 & echo $! >> \"$PIDS\"\nwait\n");
  ScopedEnv bound("VENDRO_BROWSER_INSTALL_TIMEOUT", "1");
  const auto start = std::chrono::steady_clock::now();
  try {
    browser::install_chromium();
    FAIL() << "no error";
  } catch (const browser::InstallError& e) {
    EXPECT_NE(std::string(e.what()).find("运行超过 1 秒"), std::string::npos) << e.what();
    ASSERT_TRUE(e.run);
    EXPECT_TRUE(e.run->timed_out);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_TRUE(none_survive(dir_, "hang")) << ::testing::PrintToString(survivors(dir_, "hang"));
}

TEST_F(InstallerTest, TimeoutFromTheEnvironmentIsCheckedAndBounded) {
  EXPECT_EQ(browser::install_timeout(), browser::DEFAULT_INSTALL_TIMEOUT);
  {
    ScopedEnv value("VENDRO_BROWSER_INSTALL_TIMEOUT", " 86400 ");
    EXPECT_EQ(browser::install_timeout(), 86400s);
  }
  for (const char* bad : {"0", "86401", "-5", "1.5", "ten", "99999999999999999999999"}) {
    SCOPED_TRACE(bad);
    ScopedEnv value("VENDRO_BROWSER_INSTALL_TIMEOUT", bad);
    try {
      browser::install_timeout();
      ADD_FAILURE() << "accepted";
    } catch (const InputError& e) {
      EXPECT_NE(std::string(e.what()).find("VENDRO_BROWSER_INSTALL_TIMEOUT"), std::string::npos);
    }
  }
  // A blank installer names no program: an input error, not the platform's package manager.
  ScopedEnv blank("VENDRO_BROWSER_INSTALLER", "  ");
  EXPECT_THROW(browser::install_chromium(), InputError);
}

TEST_F(InstallerTest, InstallerChildRunsVendroWithTheFourArguments) {
  use_installer("ok", "exit 0\n");
  EXPECT_NO_THROW(browser::run_installer_child(30s, VENDRO_EXECUTABLE));

  use_installer("broken", "echo 'E: no space left' >&2\nexit 100\n");
  try {
    browser::run_installer_child(30s, VENDRO_EXECUTABLE);
    FAIL() << "no error";
  } catch (const browser::InstallError& e) {
    ASSERT_TRUE(e.run);
    EXPECT_EQ(e.run->exit_code, 1);
    EXPECT_EQ(e.run->out, "");
    // The child's own report: its error code, message and the installer's last words.
    EXPECT_NE(e.output().find("错误 [BROWSER_INSTALL_ERROR]"), std::string::npos) << e.output();
    EXPECT_NE(e.output().find("E: no space left"), std::string::npos) << e.output();
    EXPECT_NE(std::string(e.what()).find("-m playwright install chromium 以退出码 1 结束"),
              std::string::npos)
        << e.what();
  }

  // The caller's bound reaches the child, whatever our environment says.
  use_installer("hang", "echo $$ >> \"$PIDS\"\nsleep 100 & echo $! >> \"$PIDS\"\nwait\n");
  ScopedEnv ours("VENDRO_BROWSER_INSTALL_TIMEOUT", "600");
  const auto start = std::chrono::steady_clock::now();
  try {
    browser::run_installer_child(1s, VENDRO_EXECUTABLE);
    FAIL() << "no error";
  } catch (const browser::InstallError& e) {
    EXPECT_NE(e.output().find("运行超过 1 秒"), std::string::npos) << e.output();
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 8s);
  EXPECT_TRUE(none_survive(dir_, "hang")) << ::testing::PrintToString(survivors(dir_, "hang"));

  try {
    browser::run_installer_child(1s, dir_ / "no-such-vendro");
    FAIL() << "no error";
  } catch (const browser::InstallError& e) {
    EXPECT_FALSE(e.run);
    EXPECT_EQ(error_chain(e).size(), 2u);
  }
}

TEST_F(InstallerTest, BrowserInstallCommandPrintsTheResultOrTheError) {
  use_installer("ok", "exit 0\n", " first");
  CliResult result = vendro({"browser", "install"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const Json printed = Json::parse(result.out);
  EXPECT_EQ(printed["ok"], true);
  EXPECT_EQ(printed["executable"], chromium());
  EXPECT_EQ(printed["command"], Json::array({(dir_ / "ok").string(), "first"}));
  EXPECT_NE(result.err.find("正在安装 Chromium（最长 900 秒）"), std::string::npos) << result.err;
  EXPECT_NE(result.err.find("Chromium 已安装：" + chromium()), std::string::npos) << result.err;

  use_installer("broken", "echo 'E: broken' >&2\nexit 3\n");
  result = vendro({"browser", "install"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("错误 [BROWSER_INSTALL_ERROR]：安装 Chromium 失败"), std::string::npos)
      << result.err;
  EXPECT_NE(result.err.find("E: broken"), std::string::npos) << result.err;

  result = vendro({"browser", "install"}, {{"VENDRO_BROWSER_INSTALL_TIMEOUT", "soon"}});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_NE(result.err.find("错误 [INVALID_INPUT]"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("正在安装"), std::string::npos) << result.err;
}

TEST_F(InstallerTest, PlaywrightInstallCommandLineIsAnsweredSilently) {
  use_installer("ok", "echo installed\nexit 0\n");
  CliResult result = vendro({"-m", "playwright", "install", "chromium"});
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "");

  use_installer("broken", "echo 'E: broken' >&2\nexit 3\n");
  result = vendro({"-m", "playwright", "install", "chromium"});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_EQ(result.out, "");
  EXPECT_NE(result.err.find("错误 [BROWSER_INSTALL_ERROR]"), std::string::npos) << result.err;

  // Only that exact command line is answered; anything more is an ordinary usage error.
  result = vendro({"-m", "playwright", "install", "chromium", "--with-deps"});
  EXPECT_EQ(result.exit_code, 2);
}

}  // namespace
}  // namespace vendro::testing
