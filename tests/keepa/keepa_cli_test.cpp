#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#include "keepa/sample_documents.hpp"
#include "support/cli_runner.hpp"
#include "support/temp_dir.hpp"
#include "vendro/core/json.hpp"
#include "vendro/keepa/keepa_time.hpp"

namespace vendro::keepa {
namespace {

using testing::CliResult;
using testing::CliRun;
using testing::run_vendro;

class KeepaCli : public ::testing::Test {
 protected:
  CliResult run(std::vector<std::string> args, std::string stdin_text = "") {
    return run_with({.args = std::move(args), .stdin_text = std::move(stdin_text)});
  }
  CliResult run_with(CliRun how) {
    how.env["VENDRO_CONFIG_DIR"] = config_.path().string();
    return run_vendro(how);
  }
  testing::TempDir config_;
  testing::TempDir work_;
};

TEST_F(KeepaCli, TimePrintsTheThreeConversions) {
  CliResult result = run({"keepa", "time", "7654321"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(result.out,
            "{\n  \"unix_seconds\": 1753099260,\n  \"unix_milliseconds\": 1753099260000,\n"
            "  \"utc\": \"2025-07-21T12:01:00Z\"\n}\n");
  for (const char* minutes : {"123.5", " 123.5 ", "\"123.5\""}) {
    result = run({"keepa", "time", minutes});
    ASSERT_EQ(result.exit_code, 0) << minutes << result.err;
    EXPECT_EQ(Json::parse(result.out)["utc"], "2011-01-01T02:03:30Z") << minutes;
  }
  result = run({"keepa", "time", "-1"});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_EQ(Json::parse(result.out)["unix_seconds"], 1293839940);
}

TEST_F(KeepaCli, TimeRejectsWhatIsNoNumber) {
  const std::pair<const char*, const char*> cases[] = {
      {"true", "Keepa 时间无效：Keepa time cannot be a boolean"},
      {"", "Keepa 时间无效：Keepa time cannot be empty"},
      {"   ", "Keepa 时间无效：Keepa time cannot be empty"},
      {"abc", "Keepa 时间无效：Keepa time is not a number: 'abc'"},
      {"1e999", "Keepa 时间无效：Keepa time is out of range: inf"},
  };
  for (const auto& [minutes, message] : cases) {
    CliResult result = run({"keepa", "time", minutes});
    EXPECT_EQ(result.exit_code, 1) << minutes;
    EXPECT_EQ(result.out, "") << minutes;
    EXPECT_EQ(result.err, std::string("错误 [KEEPA_TIME_INVALID]：") + message + "\n") << minutes;
  }
  CliResult usage = run({"keepa", "time"});
  EXPECT_EQ(usage.exit_code, 2);
  EXPECT_NE(usage.err.find("用法错误"), std::string::npos);
}

TEST_F(KeepaCli, ConvertReadsAFileOrStdinAndMatchesTheTree) {
  const std::string example =
      testing::read_file(std::string(VENDRO_SOURCE_DIR) + "/examples/keepa-product.json");
  const std::string expected =
      to_pretty_json(add_keepa_time_conversions(Json::parse(example))) + "\n";
  CliResult from_file =
      run({"keepa", "convert", std::string(VENDRO_SOURCE_DIR) + "/examples/keepa-product.json"});
  ASSERT_EQ(from_file.exit_code, 0) << from_file.err;
  EXPECT_EQ(from_file.out, expected);
  EXPECT_NE(from_file.out.find("\"lastUpdateUtc\": \"2025-07-21T12:01:00Z\""), std::string::npos);
  EXPECT_NE(from_file.out.find("\"csvUnixSeconds\": ["), std::string::npos);
  EXPECT_NE(from_file.out.find("降噪蓝牙耳机"), std::string::npos);

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"keepa", "convert"}, {"keepa", "convert", "-"}}) {
    CliResult from_stdin = run(args, example);
    ASSERT_EQ(from_stdin.exit_code, 0) << from_stdin.err;
    EXPECT_EQ(from_stdin.out, expected);
  }

  // Collisions take the second pass; the output still matches the tree.
  const std::string converted_again = run({"keepa", "convert"}, from_file.out).out;
  EXPECT_EQ(converted_again,
            to_pretty_json(add_keepa_time_conversions(Json::parse(from_file.out))) + "\n");
}

TEST_F(KeepaCli, ConvertReportsBadInputInChineseAndPrintsNothing) {
  CliResult invalid = run({"keepa", "convert"}, R"({"lastUpdate": 7654321, "csv": [[1, 2)");
  EXPECT_EQ(invalid.exit_code, 1);
  EXPECT_EQ(invalid.out, "");
  EXPECT_EQ(invalid.err.rfind("错误 [INVALID_JSON]：Keepa 数据不是有效的 JSON：", 0), 0)
      << invalid.err;

  CliResult bad_utf8 = run({"keepa", "convert"}, "{\"title\": \"\xff\xfe\"}");
  EXPECT_EQ(bad_utf8.exit_code, 1);
  EXPECT_EQ(bad_utf8.out, "");
  EXPECT_NE(bad_utf8.err.find("INVALID_JSON"), std::string::npos);

  // 30000 open brackets: refused at once, not a gigabyte of indentation.
  const std::string deep = (work_.path() / "deep.json").string();
  testing::write_file(deep, std::string(30000, '[') + std::string(30000, ']'));
  CliResult too_deep = run({"keepa", "convert", deep});
  EXPECT_EQ(too_deep.exit_code, 1);
  EXPECT_EQ(too_deep.out, "");
  EXPECT_EQ(too_deep.err.rfind("错误 [JSON_TOO_DEEP]：", 0), 0) << too_deep.err;

  CliResult trailing = run({"keepa", "convert"}, std::string("{\"lastSeen\":1}\0{}", 17));
  EXPECT_EQ(trailing.exit_code, 1);
  EXPECT_EQ(trailing.out, "");
  EXPECT_NE(trailing.err.find("INVALID_JSON"), std::string::npos) << trailing.err;

  CliResult empty = run({"keepa", "convert"}, "");
  EXPECT_EQ(empty.exit_code, 1);
  EXPECT_EQ(empty.out, "");

  CliResult missing = run({"keepa", "convert", (work_.path() / "nope.json").string()});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err.rfind("错误 [FILE_ERROR]：无法读取文件：", 0), 0) << missing.err;

  CliResult directory = run({"keepa", "convert", work_.path().string()});
  EXPECT_EQ(directory.exit_code, 1);
  EXPECT_EQ(directory.err.rfind("错误 [FILE_ERROR]：无法读取文件：", 0), 0) << directory.err;
}

TEST_F(KeepaCli, ConvertMapsRegularFilesGivenByNameOrAsStdin) {
  const std::string large = many_products(8000, true);
  const std::string expected =
      to_pretty_json(add_keepa_time_conversions(Json::parse(large))) + "\n";
  const std::string path = (work_.path() / "large.json").string();
  testing::write_file(path, large);
  for (const CliRun& how : {CliRun{.args = {"keepa", "convert", path}},
                            CliRun{.args = {"keepa", "convert"}, .stdin_file = path}}) {
    CliResult result = run_with(how);
    ASSERT_EQ(result.exit_code, 0) << result.err;
    EXPECT_TRUE(result.out == expected) << "output differs, " << result.out.size() << " bytes";
  }

  const std::string empty = (work_.path() / "empty.json").string();
  testing::write_file(empty, "");
  const std::string invalid = (work_.path() / "invalid.json").string();
  testing::write_file(invalid, large.substr(0, large.size() / 2));
  for (const std::string& bad : {empty, invalid}) {
    for (const CliRun& how : {CliRun{.args = {"keepa", "convert", bad}},
                              CliRun{.args = {"keepa", "convert", "-"}, .stdin_file = bad}}) {
      CliResult result = run_with(how);
      EXPECT_EQ(result.exit_code, 1) << bad;
      EXPECT_EQ(result.out, "") << bad;
      EXPECT_EQ(result.err.rfind("错误 [INVALID_JSON]：Keepa 数据不是有效的 JSON：", 0), 0)
          << result.err;
    }
  }
}

TEST_F(KeepaCli, ConvertReadsANamedPipeGivenAsFile) {
  const std::string input = many_products(2000, false);
  const std::string fifo = (work_.path() / "feed.json").string();
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // Waits for the reader by retrying, so that the test cannot hang when vendro never opens it.
  std::thread writer([&] {
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 1000; ++attempt) {
      fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
      if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd < 0) return;
    ::fcntl(fd, F_SETFL, 0);
    for (std::size_t done = 0; done < input.size();) {
      const ssize_t n = ::write(fd, input.data() + done, input.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    ::close(fd);
  });
  CliResult result = run({"keepa", "convert", fifo});
  writer.join();
  ASSERT_EQ(result.exit_code, 0) << result.err;
  EXPECT_TRUE(result.out == to_pretty_json(add_keepa_time_conversions(Json::parse(input))) + "\n");
}

// `vendro keepa convert FILE` started with standard output on `out_fd` and standard error in
// `err_path`, for tests that act on the process while it runs.
pid_t start_convert(const std::string& file, int out_fd, const std::filesystem::path& err_path,
                    const std::filesystem::path& config_dir) {
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  const int err_fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int null_fd = ::open("/dev/null", O_RDONLY);
  if (err_fd < 0 || null_fd < 0) ::_exit(127);
  ::dup2(null_fd, 0);
  ::dup2(out_fd, 1);
  ::dup2(err_fd, 2);
  ::setenv("VENDRO_NO_UPDATE_CHECK", "1", 1);
  ::setenv("VENDRO_CONFIG_DIR", config_dir.c_str(), 1);
  ::execl(VENDRO_EXECUTABLE, VENDRO_EXECUTABLE, "keepa", "convert", file.c_str(), nullptr);
  ::_exit(127);
}

// Polls `ready` every millisecond for up to 20 s.
template <typename Ready>
bool wait_until(Ready ready) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ready()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// The input is truncated while vendro is blocked writing to a full pipe, half way through: the
// rest of the mapped file is gone. A clear file error, not death by SIGBUS.
TEST_F(KeepaCli, ConvertReportsAFileTruncatedWhileItRuns) {
  const std::string path = (work_.path() / "large.json").string();
  testing::write_file(path, many_products(40000, false));
  int fds[2];
  ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
  const auto err_path = work_.path() / "err.txt";
  const pid_t pid = start_convert(path, fds[1], err_path, config_.path());
  ::close(fds[1]);
  // The first pass only checks the input; the second writes and blocks once the pipe is full.
  const bool blocked = wait_until([&] {
    int queued = 0;
    return ::ioctl(fds[0], FIONREAD, &queued) == 0 && queued >= ::fcntl(fds[0], F_GETPIPE_SZ);
  });
  EXPECT_TRUE(blocked) << "vendro never filled the pipe";
  ASSERT_EQ(::truncate(path.c_str(), 0), 0);
  std::string out;
  char buffer[1 << 16];
  for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) out.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "died by signal " << WTERMSIG(status);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string err = testing::read_file(err_path);
  EXPECT_EQ(err.rfind("错误 [FILE_ERROR]：无法读取文件：" + path + "（", 0), 0) << err;
  EXPECT_NE(err.find("截断"), std::string::npos) << err;
}

// SIGINT or SIGTERM while the output file is half written: the file is taken back to where the
// conversion began, and vendro ends by that signal (status 130 or 143 in a shell).
TEST_F(KeepaCli, ConvertInterruptedBySignalLeavesTheOutputFileAsItWas) {
  const std::string path = (work_.path() / "large.json").string();
  testing::write_file(path, many_products(80000, false));
  const auto out_path = work_.path() / "out.json";
  for (const int signal_number : {SIGINT, SIGTERM}) {
    testing::write_file(out_path, "head\n");
    const int out_fd = ::open(out_path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    ASSERT_GE(out_fd, 0);
    const pid_t pid = start_convert(path, out_fd, work_.path() / "err.txt", config_.path());
    const bool writing = wait_until([&] {
      struct stat info {};
      return ::fstat(out_fd, &info) == 0 && info.st_size > 5;
    });
    EXPECT_TRUE(writing) << "no output appeared";
    ::kill(pid, signal_number);
    ::close(out_fd);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "finished before the signal, status " << status;
    EXPECT_EQ(WTERMSIG(status), signal_number);
    EXPECT_EQ(testing::read_file(out_path), "head\n") << signal_number;
  }
}

TEST_F(KeepaCli, HelpIsChinese) {
  CliResult help = run({"keepa", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("Keepa 时间换算"), std::string::npos);
  CliResult convert_help = run({"keepa", "convert", "--help"});
  EXPECT_NE(convert_help.out.find("省略或写 - 时读取标准输入"), std::string::npos);
}

}  // namespace
}  // namespace vendro::keepa
