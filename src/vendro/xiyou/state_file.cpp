#include "vendro/xiyou/state_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <thread>

#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"

namespace vendro::xiyou {

namespace {

// True when files::write_atomic failed because the directory refused it (EACCES, EPERM), which
// it reports as the FileError's cause.
bool refused_for_permission(const FileError& error) {
  try {
    std::rethrow_if_nested(error);
  } catch (const std::system_error& cause) {
    return cause.code().value() == EACCES || cause.code().value() == EPERM;
  } catch (...) {
  }
  return false;
}

// Writes `text` over the existing file at `path`. Throws FileError.
void write_in_place(const std::filesystem::path& path, const std::string& text) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  auto fail = [&](int err) {
    if (fd >= 0) ::close(fd);
    throw FileError("无法写入去重状态文件：" + path.string() + "（" + std::strerror(err) + "）");
  };
  if (fd < 0) fail(errno);
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) fail(errno);
    done += static_cast<std::size_t>(n);
  }
  if (::fsync(fd) != 0) fail(errno);
  if (::close(fd) != 0) {
    const int err = errno;
    throw FileError("无法写入去重状态文件：" + path.string() + "（" + std::strerror(err) + "）");
  }
}

[[noreturn]] void lock_failed(const std::filesystem::path& dir, const std::string& reason) {
  throw FileError("无法锁定去重状态所在目录：" + dir.string() + "（" + reason + "）");
}

}  // namespace

Json read_state(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return Json::object();
  Json state = try_parse_json(files::read(path, files::SETTINGS_FILE_LIMIT), path.string());
  return state.is_object() ? state : Json::object();
}

void write_state(const std::filesystem::path& path, const Json& payload) {
  const std::string text = to_pretty_json(payload);
  try {
    files::write_atomic(path, text);
  } catch (const FileError& error) {
    std::error_code ec;
    if (!refused_for_permission(error) || !std::filesystem::is_regular_file(path, ec)) throw;
    // E.g. a shared directory with the sticky bit, where only the file's owner may replace it.
    write_in_place(path, text);
  }
}

StateLock::StateLock(const std::filesystem::path& path) {
  const std::filesystem::path dir = path.parent_path().empty() ? "." : path.parent_path();
  files::make_dirs(dir);
  fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) lock_failed(dir, std::strerror(errno));
  const auto deadline = std::chrono::steady_clock::now() + STATE_LOCK_WAIT;
  while (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    const int err = errno;
    if (err != EWOULDBLOCK && err != EINTR) {
      ::close(fd_);
      lock_failed(dir, std::strerror(err));
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      ::close(fd_);
      lock_failed(dir, "等待其他进程释放超过 " + std::to_string(STATE_LOCK_WAIT.count()) + " 秒");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

StateLock::~StateLock() {
  ::close(fd_);  // closing the descriptor releases the lock
}

}  // namespace vendro::xiyou
