#pragma once
// A regular file mapped read-only into memory for the streaming Keepa converter, so that a large
// payload is neither copied nor kept resident as a whole: the converter hands back the pages it
// has moved past (release_block), and reading them again (a second pass) brings them back from
// the page cache. Not thread-safe; the converter uses it from one thread at a time.
//
// The bytes are the file as it is while mapped. When another program truncates the file
// meanwhile, the pages past its new end read as zero bytes instead of raising SIGBUS (see
// mapping_guard.hpp), and check_intact() reports it.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace vendro::keepa {

namespace detail {
class MappingGuard;
}

class MappedInput {
 public:
  // The converter releases consumed input in blocks of this size, aligned to it in memory.
  static constexpr std::size_t RELEASE_BLOCK = 1 << 20;

  // Maps what is left to read of the regular file open at `fd` (from its current offset). The
  // caller keeps owning `fd` and may close it at once. Returns nullopt when `fd` is no regular
  // file (a pipe, a terminal, a directory), which the caller reads another way. Throws
  // vendro::FileError ("无法读取" + `what` + reason) when it cannot be mapped.
  static std::optional<MappedInput> map(int fd, const std::string& what);

  MappedInput(MappedInput&& other) noexcept;
  MappedInput& operator=(MappedInput&&) = delete;
  ~MappedInput();

  std::string_view view() const { return view_; }

  // Drops the block that ends at `block_end` (a multiple of RELEASE_BLOCK in memory) from this
  // process's resident memory. The caller has read everything before `block_end` and promises
  // not to need it soon. Never fails: the release is only advice to the kernel.
  void release_block(const char* block_end) const;

  // Throws vendro::FileError naming the input when the file is now shorter than when it was
  // mapped, or a read already met a page it no longer holds: what was read is not the file.
  void check_intact() const;

 private:
  MappedInput(char* base, std::size_t length, std::size_t skip, int fd, std::string what);

  char* base_ = nullptr;  // of the mapping; null for an empty file
  std::size_t length_ = 0;
  std::string_view view_;
  int fd_ = -1;               // our own descriptor of the file, to see its size later
  long long mapped_end_ = 0;  // the file's size when mapped
  std::string what_;
  std::unique_ptr<detail::MappingGuard> guard_;
};

}  // namespace vendro::keepa
