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
  if (offset >= info.st_size) return MappedInput(nullptr, 0, 0);
  // A mapping starts at a page boundary; the bytes before the offset are skipped in the view.
  const auto page = static_cast<off_t>(::sysconf(_SC_PAGESIZE));
  const off_t start = offset / page * page;
  const auto length = static_cast<std::size_t>(info.st_size - start);
  void* base = ::mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, start);
  if (base == MAP_FAILED) fail("无法读取" + what, errno);
  // The converter reads front to back once or twice: read ahead eagerly, drop behind it.
  ::madvise(base, length, MADV_SEQUENTIAL);
  return MappedInput(static_cast<char*>(base), length, static_cast<std::size_t>(offset - start));
}

MappedInput::MappedInput(char* base, std::size_t length, std::size_t skip)
    : base_(base), length_(length) {
  if (base_) view_ = std::string_view(base_ + skip, length_ - skip);
}

MappedInput::MappedInput(MappedInput&& other) noexcept
    : base_(std::exchange(other.base_, nullptr)),
      length_(std::exchange(other.length_, 0)),
      view_(std::exchange(other.view_, {})) {}

MappedInput::~MappedInput() {
  if (base_) ::munmap(base_, length_);
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
