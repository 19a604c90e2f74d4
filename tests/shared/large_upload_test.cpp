// Uploading a large file must stream it from disk: the process may not grow by the file's size.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>

#include "shared/ops_stand_in.hpp"
#include "support/temp_dir.hpp"
#include "vendro/shared/file_upload.hpp"

namespace vendro::shared {
namespace {

using testing::OpsStandIn;
using testing::ScopedEnv;
using testing::TempDir;

// Peak resident set size of this process so far, in kB.
long peak_rss_kb() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmHWM:")) return std::stol(line.substr(6));
  }
  return -1;
}

// A full gigabyte (about 7 s, 10 s under the sanitizers); VENDRO_LARGE_UPLOAD_MB sets another
// size by hand.
std::size_t upload_megabytes() {
  if (const char* mb = std::getenv("VENDRO_LARGE_UPLOAD_MB")) return std::stoul(mb);
  return 1024;
}

TEST(LargeUpload, StreamsTheFileWithoutGrowingTheProcess) {
  OpsStandIn ops(/*keep_file_bytes=*/false);
  TempDir dir;
  ScopedEnv ops_url("VENDRO_OPS_URL", ops.base_url());
  ScopedEnv config("VENDRO_CONFIG_DIR", dir.path().string());
  ScopedEnv token("VENDRO_OPS_TOKEN", std::nullopt);

  const std::size_t size = upload_megabytes() * 1024 * 1024;
  auto file = dir / "big.zip";
  int fd = ::open(file.c_str(), O_WRONLY | O_CREAT, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);  // sparse: no disk blocks used
  ::close(fd);

  // A small upload first, so that one-time allocations (TLS tables, thread stacks) are not
  // counted against the large one.
  auto small = dir / "small.zip";
  testing::write_file(small, "z");
  FileUploadClient().upload(small, {.purpose = "warm-up"});
  long before_kb = peak_rss_kb();
  ASSERT_GT(before_kb, 0);

  auto started = std::chrono::steady_clock::now();
  auto result = FileUploadClient().upload(file, {.purpose = "big"});
  double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  long growth_kb = peak_rss_kb() - before_kb;

  EXPECT_EQ(result.url, "https://files.example/u/1");
  auto uploads = ops.uploads();
  ASSERT_EQ(uploads.size(), 2u);
  ASSERT_NE(uploads[1].part("file"), nullptr);
  EXPECT_EQ(uploads[1].part("file")->size, size);
  EXPECT_EQ(uploads[1].part("file")->content_type, "application/zip");
  EXPECT_LT(growth_kb, 8 * 1024) << "peak RSS grew by " << growth_kb << " kB";
  std::cout << "[ measure  ] " << size / (1024 * 1024) << " MB uploaded in " << seconds
            << " s; peak RSS growth " << growth_kb << " kB\n";
}

}  // namespace
}  // namespace vendro::shared
