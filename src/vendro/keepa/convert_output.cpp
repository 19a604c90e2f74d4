#include "vendro/keepa/convert_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "vendro/core/error.hpp"

namespace vendro::keepa {

namespace {

bool is_dev_null(const struct stat& info) {
  struct stat null_info {};
  return S_ISCHR(info.st_mode) && ::stat("/dev/null", &null_info) == 0 &&
         S_ISCHR(null_info.st_mode) && info.st_rdev == null_info.st_rdev;
}

}  // namespace

FdOutput::FdOutput(int fd, std::string what, const StopFlag* stop)
    : fd_(fd), what_(std::move(what)), stop_(stop) {
  struct stat info {};
  if (::fstat(fd_, &info) != 0) return;
  if (S_ISREG(info.st_mode)) {
    const int flags = ::fcntl(fd_, F_GETFL);
    // With O_APPEND every write lands at the end, whatever the offset says.
    start_ = (flags >= 0 && (flags & O_APPEND)) ? info.st_size : ::lseek(fd_, 0, SEEK_CUR);
    regular_file_ = rewindable_ = start_ >= 0;
  } else {
    rewindable_ = is_dev_null(info);
  }
}

void FdOutput::write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) {
        if (stop_ && stop_->load() != 0) throw KeepaInterrupted("写出到" + what_ + "时被信号中断");
        continue;
      }
      throw FileError("无法写出到" + what_ + "（" + std::strerror(errno) + "）");
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
}

void FdOutput::rewind() {
  if (!regular_file_) return;
  if (::ftruncate(fd_, start_) != 0 || ::lseek(fd_, start_, SEEK_SET) < 0) {
    throw FileError("无法撤回已写出到" + what_ + "的内容（" + std::strerror(errno) + "）");
  }
}

}  // namespace vendro::keepa
