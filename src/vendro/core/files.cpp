#include "vendro/core/files.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
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

[[noreturn]] void too_large(const fs::path& name, std::size_t max_bytes) {
  throw FileError("文件过大：" + name.string() + "（上限 " + describe_size(max_bytes) + "）");
}

// Renames `temp` over `path`; on failure `temp` is removed.
void rename_over(const fs::path& temp, const fs::path& path) {
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    int err = errno;
    ::unlink(temp.c_str());
    fail("无法替换文件：", path, err);
  }
}

// Reads `fd` to its end; more than `max_bytes` fails as too large, naming `name`.
std::string read_bounded(int fd, std::size_t max_bytes, const fs::path& name) {
  std::string content;
  char buffer[1 << 16];
  for (;;) {
    auto n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("读取文件失败：", name, errno);
    if (n == 0) return content;
    if (content.size() + static_cast<std::size_t>(n) > max_bytes) too_large(name, max_bytes);
    content.append(buffer, static_cast<std::size_t>(n));
  }
}

// An open regular file, closed on destruction.
class RegularFile {
 public:
  explicit RegularFile(const fs::path& path) {
    // Non-blocking, so that opening a FIFO without a writer returns at once and fstat can refuse
    // it. A regular file ignores the flag.
    fd_ = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) fail("无法读取文件：", path, errno);
    struct stat st {};
    if (::fstat(fd_, &st) != 0) fail_and_close("无法读取文件：", path, errno);
    if (S_ISDIR(st.st_mode)) fail_and_close("无法读取文件，这是一个目录：", path, EISDIR);
    if (!S_ISREG(st.st_mode)) {
      ::close(fd_);
      throw FileError("无法读取文件，这不是普通文件（而是管道、设备或套接字）：" + path.string());
    }
    size_ = static_cast<std::uintmax_t>(st.st_size);
  }
  ~RegularFile() { ::close(fd_); }
  RegularFile(const RegularFile&) = delete;
  RegularFile& operator=(const RegularFile&) = delete;

  int fd() const { return fd_; }
  std::uintmax_t size() const { return size_; }

 private:
  [[noreturn]] void fail_and_close(const std::string& what, const fs::path& path, int err) {
    ::close(fd_);
    fail(what, path, err);
  }

  int fd_ = -1;
  std::uintmax_t size_ = 0;
};

}  // namespace

std::string describe_size(std::size_t bytes) {
  if (bytes >= (1 << 20) && bytes % (1 << 20) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= (1 << 10) && bytes % (1 << 10) == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " 字节";
}

std::string read(const fs::path& path, std::size_t max_bytes) {
  RegularFile file(path);
  if (file.size() > max_bytes) too_large(path, max_bytes);
  // The file may still grow while it is read, hence the bound on reading as well.
  return read_bounded(file.fd(), max_bytes, path);
}

std::string read_head(const fs::path& path, std::size_t max_bytes) {
  RegularFile file(path);
  std::string head(max_bytes, '\0');
  std::size_t done = 0;
  while (done < max_bytes) {
    auto n = ::read(file.fd(), head.data() + done, max_bytes - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail("读取文件失败：", path, errno);
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  head.resize(done);
  return head;
}

std::string read_stdin(std::size_t max_bytes) {
  return read_bounded(STDIN_FILENO, max_bytes, "标准输入");
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
  rename_over(temp, path);
}

void replace_with(const fs::path& from, const fs::path& to) {
  int fd = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) fail("无法读取文件：", from, errno);
  int err = ::fsync(fd) != 0 ? errno : 0;
  ::close(fd);
  if (err != 0) fail("写入文件失败：", to, err);
  rename_over(from, to);
}

}  // namespace vendro::files
