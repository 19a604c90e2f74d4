#include "vendro/keepa/mapped_input.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>

#include "keepa/pipe_like_output.hpp"
#include "keepa/sample_documents.hpp"
#include "support/temp_dir.hpp"
#include "vendro/core/error.hpp"
#include "vendro/keepa/convert_output.hpp"
#include "vendro/keepa/stream_convert.hpp"

namespace vendro::keepa {
namespace {

// Resident KiB of this process's mapping that holds `address`, from /proc/self/smaps.
std::size_t resident_kib(const void* address) {
  const auto wanted = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream smaps("/proc/self/smaps");
  std::string line;
  bool inside = false;
  while (std::getline(smaps, line)) {
    std::uintptr_t begin = 0, end = 0;
    char dash = 0;
    std::istringstream range(line);
    if (range >> std::hex >> begin >> dash >> end && dash == '-') {
      inside = begin <= wanted && wanted < end;
    } else if (inside && line.rfind("Rss:", 0) == 0) {
      return std::stoul(line.substr(4));
    }
  }
  ADD_FAILURE() << "no mapping holds the address";
  return 0;
}

class MappedInputTest : public ::testing::Test {
 protected:
  // `content` written to a file and mapped.
  std::optional<MappedInput> map_file(const std::string& content) {
    const auto path = dir_.path() / "input.json";
    testing::write_file(path, content);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    EXPECT_GE(fd, 0);
    std::optional<MappedInput> mapped = MappedInput::map(fd, "文件");
    ::close(fd);
    return mapped;
  }
  testing::TempDir dir_;
};

TEST_F(MappedInputTest, ConvertsLikeAStringAndHandsBackWhatItRead) {
  for (bool collide : {false, true}) {
    const std::string input = many_products(18000, collide);
    ASSERT_GT(input.size(), 4 * MappedInput::RELEASE_BLOCK);
    const std::string expected = convert_to_string(input);
    std::optional<MappedInput> mapped = map_file(input);
    ASSERT_TRUE(mapped);
    ASSERT_EQ(mapped->view(), input);  // every page resident now
    const char* start = mapped->view().data();
    EXPECT_GE(resident_kib(start) * 1024, input.size());

    std::string result;
    StringOutput output(result);
    convert_stream(*mapped, output);
    EXPECT_EQ(result, expected) << "collide " << collide;
    // At most the block being read at the end, and what the kernel maps around a fault.
    EXPECT_LE(resident_kib(start) * 1024, MappedInput::RELEASE_BLOCK + (256 << 10));

    PipeLikeOutput pipe;
    convert_stream(*mapped, pipe);
    EXPECT_EQ(pipe.text, expected) << "collide " << collide;
    // Released pages come back from the file.
    EXPECT_EQ(mapped->view(), input);
  }
}

TEST_F(MappedInputTest, EmptyAndInvalidFilesAreRejectedWithoutOutput) {
  const std::string whole = many_products(3000, false);
  for (const std::string& content :
       {std::string(), std::string("{\"lastSeen\":"), whole.substr(0, whole.size() - 2)}) {
    std::optional<MappedInput> mapped = map_file(content);
    ASSERT_TRUE(mapped);
    EXPECT_EQ(mapped->view(), content);
    std::string target = "kept";
    StringOutput output(target);
    EXPECT_THROW(convert_stream(*mapped, output), KeepaJsonError) << content.size();
    EXPECT_EQ(target, "kept");
    PipeLikeOutput pipe;
    EXPECT_THROW(convert_stream(*mapped, pipe), KeepaJsonError) << content.size();
    EXPECT_EQ(pipe.text, "");
  }
}

// Another program truncates the file after it was mapped: reads past the new end would raise
// SIGBUS. The conversion fails with a file error instead, whatever the destination, wherever
// the cut falls (whole pages gone, or inside a page whose tail reads as zeros), also when the
// file shrinks only after the conversion got through.
TEST_F(MappedInputTest, AFileTruncatedWhileMappedIsAFileErrorNotACrash) {
  const std::string input = many_products(18000, false);
  const auto path = dir_.path() / "input.json";
  for (const std::size_t keep : {std::size_t{0}, std::size_t{3} << 20, input.size() - 1000}) {
    for (const bool rewindable : {true, false}) {
      testing::write_file(path, input);
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_GE(fd, 0);
      std::optional<MappedInput> mapped = MappedInput::map(fd, "文件：input.json");
      ::close(fd);
      ASSERT_TRUE(mapped);
      ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(keep)), 0);
      std::string target = "kept";
      StringOutput string_output(target);
      PipeLikeOutput pipe;
      ConvertOutput& output = rewindable ? static_cast<ConvertOutput&>(string_output) : pipe;
      try {
        convert_stream(*mapped, output);
        ADD_FAILURE() << "converted a truncated file, kept " << keep;
      } catch (const FileError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("无法读取文件：input.json（", 0), 0) << e.what();
        EXPECT_NE(std::string(e.what()).find("截断"), std::string::npos) << e.what();
      }
      EXPECT_EQ(target, "kept") << keep;
    }
  }

  // Small enough to be written in one piece, after the whole input was read.
  testing::write_file(path, many_products(50, false));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  std::optional<MappedInput> mapped = MappedInput::map(fd, "文件：input.json");
  ::close(fd);
  ASSERT_TRUE(mapped);
  struct TruncatingOutput final : ConvertOutput {
    void write(std::string_view bytes) override {
      text += bytes;
      if (::truncate(path.c_str(), 10) != 0) ADD_FAILURE() << "truncate failed";
    }
    bool can_rewind() const override { return true; }
    void rewind() override { text.clear(); }
    std::filesystem::path path;
    std::string text;
  } late;
  late.path = path;
  EXPECT_THROW(convert_stream(*mapped, late), FileError);
  EXPECT_EQ(late.text, "");
}

TEST_F(MappedInputTest, MapsAnOpenFileFromItsOffsetAndLeavesOtherKindsAlone) {
  // Standard input may already have been read partly; the mapping starts inside a page.
  const std::string prefix(5000, 'x');
  const std::string document = R"({"lastUpdate":7654321})";
  const auto path = dir_.path() / "stdin.json";
  testing::write_file(path, prefix + document);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::lseek(fd, static_cast<off_t>(prefix.size()), SEEK_SET), 5000);
  std::optional<MappedInput> mapped = MappedInput::map(fd, "标准输入");
  ASSERT_EQ(::lseek(fd, 0, SEEK_END), static_cast<off_t>(prefix.size() + document.size()));
  std::optional<MappedInput> at_end = MappedInput::map(fd, "标准输入");
  ::close(fd);
  ASSERT_TRUE(mapped);
  EXPECT_EQ(mapped->view(), document);
  EXPECT_EQ(convert_to_string(document), [&] {
    std::string result;
    StringOutput output(result);
    convert_stream(*mapped, output);
    return result;
  }());
  ASSERT_TRUE(at_end);
  EXPECT_EQ(at_end->view(), "");

  int pipe_fds[2];
  ASSERT_EQ(::pipe(pipe_fds), 0);
  EXPECT_FALSE(MappedInput::map(pipe_fds[0], "标准输入"));
  ::close(pipe_fds[0]);
  ::close(pipe_fds[1]);
  const int directory = ::open(dir_.path().c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(directory, 0);
  EXPECT_FALSE(MappedInput::map(directory, "目录"));
  ::close(directory);
  try {
    MappedInput::map(-1, "文件：x.json");
    FAIL() << "a closed descriptor maps";
  } catch (const FileError& e) {
    EXPECT_EQ(std::string(e.what()).rfind("无法读取文件：x.json（", 0), 0) << e.what();
  }
}

}  // namespace
}  // namespace vendro::keepa
