#include "vendro/core/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <system_error>

#include "vendro/core/error.hpp"

namespace vendro::files {

namespace {

[[noreturn]] void fail(const std::string& what, const fs::path& path, int err) {
  try {
    throw std::system_error(err, std::generic_category(), path.string());
  } catch (...) {
    std::throw_with_nested(FileError(what + path.string() + "（" + std::strerror(err) + "）"));
  }
}

std::string temp_name_for(const fs::path& path) {
  static thread_local std::mt19937_64 rng{std::random_device{}()};
  return path.filename().string() + ".tmp-" + std::to_string(::getpid()) + "-" +
         std::to_string(rng() % 1000000000ULL);
}

}  // namespace

std::string read(const fs::path& path) {
  std::error_code ec;
  if (fs::is_directory(path, ec)) fail("无法读取文件，这是一个目录：", path, EISDIR);
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("无法读取文件：", path, errno ? errno : ENOENT);
  std::string content;
  in.seekg(0, std::ios::end);
  auto size = in.tellg();
  if (size > 0) {
    content.resize(static_cast<std::size_t>(size));
    in.seekg(0);
    in.read(content.data(), size);
  } else {
    in.clear();
    in.seekg(0);
    content.assign(std::istreambuf_iterator<char>(in), {});
  }
  if (in.bad()) fail("读取文件失败：", path, errno ? errno : EIO);
  return content;
}

void make_dirs(const fs::path& dir) {
  if (dir.empty()) return;
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec && !fs::is_directory(dir)) fail("无法创建目录：", dir, ec.value());
}

void write_atomic(const fs::path& path, std::string_view content, std::optional<fs::perms> mode) {
  make_dirs(path.parent_path());
  fs::path temp = path.parent_path() / temp_name_for(path);
  auto perm_bits = mode ? static_cast<mode_t>(*mode) : static_cast<mode_t>(0666);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, perm_bits);
  if (fd < 0) fail("无法写入文件：", path, errno);
  auto abandon = [&](int err) {
    ::close(fd);
    ::unlink(temp.c_str());
    fail("写入文件失败：", path, err);
  };
  // The umask must not widen or narrow an explicit mode.
  if (mode && ::fchmod(fd, perm_bits) != 0) abandon(errno);
  for (std::size_t done = 0; done < content.size();) {
    auto n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      abandon(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) abandon(errno);
  if (::close(fd) != 0) {
    ::unlink(temp.c_str());
    fail("写入文件失败：", path, errno);
  }
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    fail("无法替换文件：", path, err);
  }
}

}  // namespace vendro::files
