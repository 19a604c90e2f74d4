// The child-process runner against real programs: /bin/sh scripts, sleep, yes.

#include "vendro/core/child_process.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <sstream>
#include <string>

#include "browser/process_scan.hpp"
#include "support/temp_dir.hpp"

namespace vendro::testing {
namespace {

using namespace std::chrono_literals;
using process::RunOptions;
using process::RunResult;

RunResult run_shell(const std::string& script, RunOptions options = {}) {
  options.argv = {"/bin/sh", "-c", script};
  if (options.timeout == 0ms) options.timeout = 20s;
  return process::run(options);
}

TEST(ChildProcessTest, ReportsExitStatusBothStreamsAndTheEnvironmentGiven) {
  ScopedEnv gone("VENDRO_TEST_GONE", "present");
  RunResult result =
      run_shell("echo \"out $VENDRO_TEST_SET ${VENDRO_TEST_GONE-unset}\"; echo err >&2; exit 3",
                {.env = {{"VENDRO_TEST_SET", "given"}, {"VENDRO_TEST_GONE", std::nullopt}}});
  EXPECT_EQ(result.exit_code, 3);
  EXPECT_FALSE(result.signal);
  EXPECT_FALSE(result.timed_out);
  EXPECT_FALSE(result.succeeded());
  EXPECT_EQ(result.out, "out given unset\n");
  EXPECT_EQ(result.err, "err\n");
  EXPECT_EQ(result.describe(), "退出码 3");

  result = run_shell("kill -9 $$");
  EXPECT_FALSE(result.exit_code);
  EXPECT_EQ(result.signal, SIGKILL);
  EXPECT_EQ(result.describe(), "被信号 9 终止");

  // A bare name is looked up on PATH.
  result = process::run({.argv = {"true"}, .timeout = 20s});
  EXPECT_TRUE(result.succeeded());
}

TEST(ChildProcessTest, RunsInItsOwnGroupWithStandardInputFromDevNull) {
  const RunResult result =
      run_shell("readlink /proc/self/fd/0; cut -d' ' -f5 /proc/$$/stat; echo $$; cat; echo end");
  ASSERT_TRUE(result.succeeded()) << result.err;
  std::istringstream lines(result.out);
  std::string stdin_target, group, pid, end;
  lines >> stdin_target >> group >> pid >> end;
  EXPECT_EQ(stdin_target, "/dev/null");
  EXPECT_EQ(group, pid);
  EXPECT_NE(group, std::to_string(::getpgrp()));
  EXPECT_EQ(end, "end");  // cat met the end of its input at once
}

TEST(ChildProcessTest, KeepsTheTailOfOutputBeyondTheLimit) {
  // 300 KiB on each stream, stderr first: both must be read while the program runs, or it blocks
  // on a full pipe until the bound.
  const RunResult result = run_shell(
      "head -c 307200 /dev/zero | tr '\\000' e >&2; echo ERR-END >&2; "
      "head -c 307200 /dev/zero | tr '\\000' o; echo OUT-END",
      {.timeout = 30s});
  ASSERT_TRUE(result.succeeded()) << result.describe();
  EXPECT_EQ(result.out.size(), process::OUTPUT_LIMIT);
  EXPECT_EQ(result.err.size(), process::OUTPUT_LIMIT);
  EXPECT_TRUE(result.out_truncated);
  EXPECT_TRUE(result.err_truncated);
  EXPECT_TRUE(result.out.ends_with("oooOUT-END\n"));
  EXPECT_TRUE(result.err.ends_with("eeeERR-END\n"));

  // A cut inside a character moves to the next one.
  const RunResult short_tail = run_shell("printf '中文字'", {.output_limit = 7});
  EXPECT_EQ(short_tail.out, "文字");
  EXPECT_TRUE(short_tail.out_truncated);

  const RunResult small = run_shell("echo small");
  EXPECT_FALSE(small.out_truncated);
}

TEST(ChildProcessTest, ProgramThatCannotStartIsAnError) {
  TempDir dir;
  write_file(dir / "not-executable", "#!/bin/sh\nexit 0\n");
  write_file(dir / "no-format", "no interpreter line\n");
  std::filesystem::permissions(dir / "no-format", std::filesystem::perms::owner_all);

  auto start_error = [](const std::string& program) -> std::string {
    try {
      process::run({.argv = {program}, .timeout = 20s});
    } catch (const process::ProcessStartError& e) {
      return e.what();
    }
    return "(started)";
  };
  EXPECT_NE(start_error("vendro-no-such-program").find("vendro-no-such-program"),
            std::string::npos);
  EXPECT_NE(start_error((dir / "not-executable").string()).find("不可执行"), std::string::npos);
  // Found and executable, but exec itself refuses it: reported from the child.
  const std::string refused = start_error((dir / "no-format").string());
  EXPECT_NE(refused.find("无法启动程序"), std::string::npos) << refused;
  EXPECT_NE(refused.find(std::strerror(ENOEXEC)), std::string::npos) << refused;
}

TEST(ChildProcessTest, HangingProgramIsKilledWithItsGroupAtTheBound) {
  TempDir dir;
  // One that dies of SIGTERM, one that ignores it (its sleep inherits that) and needs SIGKILL.
  write_script(dir, "polite", "sleep 100 & echo $! >> \"$PIDS\"\necho $$ >> \"$PIDS\"\nwait\n");
  write_script(dir, "stubborn",
               "trap '' TERM\nsleep 100 & echo $! >> \"$PIDS\"\necho $$ >> \"$PIDS\"\nwait\n");
  for (const std::string name : {"polite", "stubborn"}) {
    SCOPED_TRACE(name);
    const auto start = std::chrono::steady_clock::now();
    const RunResult result =
        process::run({.argv = {(dir / name).string()}, .timeout = 1s, .grace = 500ms});
    const auto spent = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(result.timed_out);
    EXPECT_FALSE(result.succeeded());
    EXPECT_EQ(result.signal, name == "polite" ? SIGTERM : SIGKILL);
    EXPECT_EQ(result.describe(), "超时后被终止");
    EXPECT_GE(spent, name == "polite" ? 1s : 1500ms);
    EXPECT_LT(spent, 5s);
    EXPECT_TRUE(none_survive(dir, name)) << ::testing::PrintToString(survivors(dir, name));
  }
}

TEST(ChildProcessTest, StopsWhenTheCallerHasSeenEnough) {
  const auto start = std::chrono::steady_clock::now();
  const RunResult result =
      process::run({.argv = {"yes"}, .timeout = 20s, .stop_when = [](const std::string& out) {
                      return out.find('\n') != std::string::npos;
                    }});
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.signal, SIGKILL);
  EXPECT_TRUE(result.out.starts_with("y\n"));
}

TEST(ChildProcessTest, CurrentExecutableIsThisTestProgram) {
  const std::filesystem::path self = process::current_executable();
  EXPECT_TRUE(self.is_absolute());
  EXPECT_EQ(self.filename(), "installer_tests");
  EXPECT_TRUE(std::filesystem::is_regular_file(self));
}

}  // namespace
}  // namespace vendro::testing
