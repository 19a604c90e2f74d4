#include "vendro/sif/common.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>

#include "support/temp_dir.hpp"
#include "vendro/core/error.hpp"

namespace vendro::sif {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnv;
using testing::TempDir;
using Sections = std::vector<std::string>;

const Sections DEFAULTS = {"sales", "keywords", "traffic"};

TEST(SifParseSections, EmptyAllAndEmptyPiecesGiveTheDefaults) {
  EXPECT_EQ(parse_sections({}, DEFAULTS), DEFAULTS);
  EXPECT_EQ(parse_sections({"all"}, DEFAULTS), DEFAULTS);
  EXPECT_EQ(parse_sections({"ALL"}, DEFAULTS), DEFAULTS);
  EXPECT_EQ(parse_sections({"sales", " All "}, DEFAULTS), DEFAULTS);
  EXPECT_EQ(parse_sections({"sales,,keywords"}, DEFAULTS), DEFAULTS);
  EXPECT_EQ(parse_sections({"sales,"}, DEFAULTS), DEFAULTS);
  EXPECT_EQ(parse_sections({"keywords", "  "}, DEFAULTS), DEFAULTS);
}

TEST(SifParseSections, SplitsMapsAliasesAndDropsRepeats) {
  EXPECT_EQ(parse_sections({"sales, keywords", "sales"}, DEFAULTS),
            (Sections{"sales", "keywords"}));
  SectionAliases aliases = {{"销量", "sales"}, {"sales", "sales"}, {"empty", ""}};
  EXPECT_EQ(parse_sections({"销量"}, DEFAULTS, aliases), Sections{"sales"});
  EXPECT_EQ(parse_sections({"SALES"}, DEFAULTS, aliases), Sections{"sales"});
  EXPECT_EQ(parse_sections({"Mystery,销量,sales"}, DEFAULTS, aliases),
            (Sections{"Mystery", "sales"}));
  // An alias with an empty value is no alias: the piece stays as written.
  EXPECT_EQ(parse_sections({"empty"}, DEFAULTS, aliases), Sections{"empty"});
}

TEST(SifParseAsins, StripsSkipsEmptyPiecesAndUpperCasesKeepingDuplicates) {
  EXPECT_EQ(parse_asins(" b0a1 , ,B0b2,b0a1 "), (Sections{"B0A1", "B0B2", "B0A1"}));
  EXPECT_EQ(parse_asins(std::nullopt), Sections{});
  EXPECT_EQ(parse_asins(""), Sections{});
  EXPECT_EQ(parse_asins(",,"), Sections{});
}

TEST(SifRootDir, PlacesTheRunUnderTheChosenBase) {
  TempDir temp;
  ScopedEnv home("HOME", temp.path().string());
  fs::path real_temp = fs::canonical(temp.path());

  EXPECT_EQ(resolve_root_dir("~/exports", "/unused", "job-1"), real_temp / "exports" / "job-1");
  EXPECT_EQ(resolve_root_dir(std::nullopt, temp / "default", "job-2"),
            real_temp / "default" / "job-2");
  EXPECT_EQ(resolve_root_dir("", temp / "default", "job-3"), real_temp / "default" / "job-3");
  // "." and ".." are resolved even in parts that do not exist yet.
  EXPECT_EQ(resolve_root_dir((temp / "a" / ".." / "b").string(), "/unused", "job-4"),
            real_temp / "b" / "job-4");

  fs::path old_cwd = fs::current_path();
  fs::current_path(temp.path());
  fs::path relative = resolve_root_dir(std::nullopt, "runs", "job-5");
  fs::current_path(old_cwd);
  EXPECT_EQ(relative, real_temp / "runs" / "job-5");
  EXPECT_FALSE(fs::exists(temp / "runs"));  // nothing is created
}

TEST(SifRootDir, RefusesJobIdsThatLeaveTheOutputDirectory) {
  const std::vector<std::string> bad_ids = {"..",    ".",    "",     "a/b",
                                            "../up", "/etc", "a\\b", std::string("a\0b", 3)};
  for (const std::string& bad : bad_ids) {
    EXPECT_THROW(resolve_root_dir("/tmp", "/tmp", bad), InputError) << bad;
  }
  try {
    check_job_id("../x");
    FAIL() << "no error";
  } catch (const InputError& e) {
    EXPECT_NE(std::string(e.what()).find("任务 ID 不能用作运行目录名：\"../x\""),
              std::string::npos);
  }
  EXPECT_NO_THROW(check_job_id("sif-compare-3asins-20260101-120000-a1b2c3"));
  EXPECT_NO_THROW(check_job_id("..hidden"));
  // Longer than a file name may be: refused up front, in the operator's words.
  EXPECT_NO_THROW(check_job_id(std::string(255, 'j')));
  try {
    check_job_id(std::string(256, 'j'));
    FAIL() << "no error";
  } catch (const InputError& e) {
    EXPECT_NE(std::string(e.what()).find("任务 ID 太长"), std::string::npos) << e.what();
  }
}

TEST(SifRootDir, AnOutputDirectoryThatCannotBeResolvedIsAFileError) {
  testing::TempDir temp;
  fs::create_directory_symlink(temp / "loop-b", temp / "loop-a");
  fs::create_directory_symlink(temp / "loop-a", temp / "loop-b");
  for (const fs::path& dir : {temp / "loop-a" / "out", temp / std::string(300, 'd') / "out"}) {
    try {
      resolve_root_dir(dir.string(), "/unused", "job");
      FAIL() << "resolved " << dir;
    } catch (const FileError& e) {
      EXPECT_EQ(std::string(e.what()).rfind("输出目录不可用：", 0), 0) << e.what();
      EXPECT_EQ(error_chain(e).size(), 2u);  // the library's account follows as the cause
    }
  }
}

TEST(SifTimestamp, IsMillisecondsSinceTheEpoch) {
  using namespace std::chrono;
  auto before = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  auto now = timestamp_ms();
  auto after = duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
  EXPECT_GE(now, before);
  EXPECT_LE(now, after);
}

TEST(SifWriteJson, WritesIndentedUnescapedUtf8WithoutTrailingNewline) {
  TempDir temp;
  fs::path path = temp / "deep" / "er" / "params.json";
  write_json(path, Json{{"名称", "对比销量"}, {"n", 1}});
  EXPECT_EQ(testing::read_file(path), "{\n  \"名称\": \"对比销量\",\n  \"n\": 1\n}");
  write_json(path, Json::array());
  EXPECT_EQ(testing::read_file(path), "[]");
}

}  // namespace
}  // namespace vendro::sif
