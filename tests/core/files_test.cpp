#include "vendro/core/files.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

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
  EXPECT_EQ(files::read(target, 1024), "second, longer");
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
    files::read(dir / "missing.json", 1024);
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_NE(std::string(e.what()).find("无法读取文件"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("missing.json"), std::string::npos);
  }
  EXPECT_THROW(files::read(dir.path(), 1024), FileError);
  testing::write_file(dir / "blocker", "x");
  EXPECT_THROW(files::write_atomic(dir / "blocker/inside.json", "{}"), FileError);
}

TEST(Files, ReadsEmptyAndBinaryContent) {
  TempDir dir;
  testing::write_file(dir / "empty", "");
  EXPECT_EQ(files::read(dir / "empty", 1024), "");
  std::string binary("a\0b\xff", 4);
  files::write_atomic(dir / "bin", binary);
  EXPECT_EQ(files::read(dir / "bin", 1024), binary);
}

TEST(Files, NonRegularFilesAreRefusedWithoutBlocking) {
  TempDir dir;
  auto fifo = dir / "fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  ::symlink("/dev/zero", (dir / "zero-link").c_str());
  auto started = std::chrono::steady_clock::now();
  // A FIFO nobody writes to, an endless device, and a symlink to it.
  for (const std::filesystem::path& path :
       {fifo, std::filesystem::path("/dev/zero"), dir / "zero-link",
        std::filesystem::path("/dev/null")}) {
    try {
      files::read(path, files::SETTINGS_FILE_LIMIT);
      ADD_FAILURE() << path;
    } catch (const FileError& e) {
      EXPECT_NE(std::string(e.what()).find("不是普通文件"), std::string::npos) << e.what();
      EXPECT_NE(std::string(e.what()).find(path.string()), std::string::npos) << e.what();
    }
    EXPECT_THROW(files::read_head(path, 16), FileError);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST(Files, SizeBoundsHoldAtTheLimit) {
  TempDir dir;
  testing::write_file(dir / "at", std::string(1024, 'a'));
  testing::write_file(dir / "over", std::string(1025, 'a'));
  EXPECT_EQ(files::read(dir / "at", 1024).size(), 1024u);
  try {
    files::read(dir / "over", 1024);
    FAIL() << "no error";
  } catch (const FileError& e) {
    EXPECT_NE(std::string(e.what()).find("文件过大"), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("1 KiB"), std::string::npos) << e.what();
  }
  EXPECT_EQ(files::read_head(dir / "over", 10), std::string(10, 'a'));
  EXPECT_EQ(files::describe_size(files::SETTINGS_FILE_LIMIT), "1 MiB");
  EXPECT_EQ(files::describe_size(700), "700 字节");
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
