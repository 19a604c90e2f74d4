#include "vendro/core/files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "support/temp_dir.hpp"
#include "vendro/core/environment.hpp"
#include "vendro/core/error.hpp"

namespace vendro {
namespace {

using testing::ScopedEnv;
using testing::TempDir;

TEST(Files, WriteAtomicCreatesParentsAndReplaces) {
  TempDir dir;
  auto target = dir / "a/b/state.json";
  files::write_atomic(target, "first");
  files::write_atomic(target, "second, longer");
  EXPECT_EQ(files::read(target), "second, longer");
  // no temporary file is left beside the target
  int entries = 0;
  for (auto& e : std::filesystem::directory_iterator(target.parent_path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(Files, WriteAtomicAppliesExactModeDespiteUmask) {
  TempDir dir;
  auto target = dir / "credentials.yaml";
  auto old_mask = ::umask(0);
  files::write_atomic(target, "token: x", std::filesystem::perms(0600));
  ::umask(old_mask);
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(Files, FailuresAreChineseFileErrorsNamingThePath) {
  TempDir dir;
  try {
    files::read(dir / "missing.json");
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_NE(std::string(e.what()).find("无法读取文件"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("missing.json"), std::string::npos);
  }
  EXPECT_THROW(files::read(dir.path()), FileError);
  testing::write_file(dir / "blocker", "x");
  EXPECT_THROW(files::write_atomic(dir / "blocker/inside.json", "{}"), FileError);
}

TEST(Files, ReadsEmptyAndBinaryContent) {
  TempDir dir;
  testing::write_file(dir / "empty", "");
  EXPECT_EQ(files::read(dir / "empty"), "");
  std::string binary("a\0b\xff", 4);
  files::write_atomic(dir / "bin", binary);
  EXPECT_EQ(files::read(dir / "bin"), binary);
}

TEST(Environment, ConfigDirFollowsOverrideThenHome) {
  {
    ScopedEnv over("VENDRO_CONFIG_DIR", "/tmp/vendro-conf");
    EXPECT_EQ(config_dir(), std::filesystem::path("/tmp/vendro-conf"));
  }
  ScopedEnv no_over("VENDRO_CONFIG_DIR", std::nullopt);
  ScopedEnv home("HOME", "/home/op");
  EXPECT_EQ(config_dir(), std::filesystem::path("/home/op/.config/vendro"));
  ScopedEnv empty("VENDRO_CONFIG_DIR", "");
  EXPECT_EQ(config_dir(), std::filesystem::path("/home/op/.config/vendro"));
}

}  // namespace
}  // namespace vendro
