#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
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

TEST_F(KeepaCli, HelpIsChinese) {
  CliResult help = run({"keepa", "--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_NE(help.out.find("Keepa 时间换算"), std::string::npos);
  CliResult convert_help = run({"keepa", "convert", "--help"});
  EXPECT_NE(convert_help.out.find("省略或写 - 时读取标准输入"), std::string::npos);
}

}  // namespace
}  // namespace vendro::keepa
