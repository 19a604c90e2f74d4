#include "vendro/xiyou/state_file.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"

namespace vendro::xiyou {

Json read_state(const std::filesystem::path& path) {
  std::error_code ec;
  if (!std::filesystem::exists(path, ec)) return Json::object();
  Json state = try_parse_json(files::read(path, files::SETTINGS_FILE_LIMIT), path.string());
  return state.is_object() ? state : Json::object();
}

void write_state(const std::filesystem::path& path, const Json& payload) {
  files::write_atomic(path, to_pretty_json(payload));
}

StateLock::StateLock(const std::filesystem::path& path) {
  files::make_dirs(path.parent_path());
  std::filesystem::path lock_path = path;
  lock_path += ".lock";
  fd_ = ::open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  if (fd_ < 0) {
    throw FileError("无法创建状态锁文件：" + lock_path.string() + "（" + std::strerror(errno) +
                    "）");
  }
  while (::flock(fd_, LOCK_EX) != 0) {
    if (errno == EINTR) continue;
    int err = errno;
    ::close(fd_);
    throw FileError("无法锁定状态文件：" + lock_path.string() + "（" + std::strerror(err) + "）");
  }
}

StateLock::~StateLock() {
  ::close(fd_);  // closing the descriptor releases the lock
}

}  // namespace vendro::xiyou
