#pragma once
// Keeps reads of a file mapping from killing the process when the file shrinks underneath it.
// Reading a page of a mapping that lies wholly past the file's end raises SIGBUS; inside a
// guarded range, the handler puts a page of zero bytes in its place and notes the fault, so the
// read goes on and the owner finds out afterwards (faulted()). Memory stays bounded: the
// parser stops at the first zero byte. SIGBUS anywhere else gets the disposition it had before.
// Internal to vendro::keepa. Thread-safe; the handler is installed on first use.

#include <cstddef>

namespace vendro::keepa::detail {

class MappingGuard {
 public:
  // Guards [begin, begin + length), a mapping that starts at a page boundary. Throws FileError
  // when too many mappings are guarded at once.
  MappingGuard(const char* begin, std::size_t length);
  // Stops guarding; no read of the range may still be in flight.
  ~MappingGuard();
  MappingGuard(const MappingGuard&) = delete;
  MappingGuard& operator=(const MappingGuard&) = delete;

  // True once a read of the range hit a page past the file's end.
  bool faulted() const;

 private:
  int slot_;
};

}  // namespace vendro::keepa::detail
