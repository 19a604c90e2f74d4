#include "vendro/keepa/mapped_input.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <utility>

#include "vendro/core/error.hpp"
#include "vendro/keepa/mapping_guard.hpp"

namespace vendro::keepa {

namespace {

[[noreturn]] void fail(const std::string& what, int err) {
  throw FileError(what + "（" + std::strerror(err) + "）");
}

}  // namespace

std::optional<MappedInput> MappedInput::map(int fd, const std::string& what) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) fail("无法读取" + what, errno);
  if (!S_ISREG(info.st_mode)) return std::nullopt;
  off_t offset = ::lseek(fd, 0, SEEK_CUR);
  if (offset < 0) offset = 0;
  if (offset >= info.st_size) return MappedInput(nullptr, 0, 0, -1, what);
  // A mapping starts at a page boundary; the bytes before the offset are skipped in the view.
  const auto page = static_cast<off_t>(::sysconf(_SC_PAGESIZE));
  const off_t start = offset / page * page;
  const auto length = static_cast<std::size_t>(info.st_size - start);
  // A descriptor of our own tells later whether the file has shrunk.
  const int own_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (own_fd < 0) fail("无法读取" + what, errno);
  void* base = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, start);
  if (base == MAP_FAILED) {
    const int err = errno;
    ::close(own_fd);
    fail("无法读取" + what, err);
  }
  // The converter reads front to back once or twice: read ahead eagerly, drop behind it.
  ::madvise(base, length, MADV_SEQUENTIAL);
  MappedInput mapped(static_cast<char*>(base), length, static_cast<std::size_t>(offset - start),
                     own_fd, what);
  mapped.mapped_end_ = info.st_size;
  mapped.guard_ = std::make_unique<detail::MappingGuard>(mapped.base_, length);
  return mapped;
}

MappedInput::MappedInput(char* base, std::size_t length, std::size_t skip, int fd, std::string what)
    : base_(base), length_(length), fd_(fd), what_(std::move(what)) {
  if (base_) view_ = std::string_view(base_ + skip, length_ - skip);
}

MappedInput::MappedInput(MappedInput&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      view_(std::exchange(other.view_, {})),
      fd_(std::exchange(other.fd_, -1)),
      mapped_end_(other.mapped_end_),
      what_(std::move(other.what_)),
      guard_(std::move(other.guard_)) {}

MappedInput::~MappedInput() {
  guard_.reset();  // before the range can hold anything else
  if (base_) ::munmap(base_, length_);
  if (fd_ >= 0) ::close(fd_);
}

void MappedInput::check_intact() const {
  bool shrunk = guard_ && guard_->faulted();
  struct stat info {};
  if (!shrunk && fd_ >= 0 && ::fstat(fd_, &info) == 0 && info.st_size < mapped_end_) shrunk = true;
  if (shrunk) {
    throw FileError("无法读取" + what_ + "（转换过程中文件被其他程序截断，读到的内容不完整）");
  }
}

void MappedInput::release_block(const char* block_end) const {
  if (!base_) return;
  const char* begin = std::max<const char*>(block_end - RELEASE_BLOCK, base_);
  const char* end = std::min<const char*>(block_end, base_ + length_);
  if (begin >= end) return;
  // Both ends are page boundaries: the block end is, and so is the mapping's start.
  ::madvise(const_cast<char*>(begin), static_cast<std::size_t>(end - begin), MADV_DONTNEED);
}

}  // namespace vendro::keepa
