#pragma once
// The alert de-duplication state file: one JSON object mapping each alert key to the Unix time
// (seconds, floating point) of the last alert sent under it.
//
// Concurrency: several processes may alert at once. Every write replaces the file atomically, so
// a reader sees the old or the new content, never a torn or empty file. A read-modify-write is
// done under StateLock (an advisory flock on "<state>.lock" beside the file), so concurrent
// writers of different keys do not erase each other's entries.

#include <filesystem>

#include "vendro/core/json.hpp"

namespace vendro::xiyou {

// The state at `path`: an empty map when the file is missing, not valid JSON, or not an object.
// Other read errors (a directory, no permission) throw FileError.
Json read_state(const std::filesystem::path& path);

// Replaces the file at `path` with `payload` as UTF-8 JSON, indented by 2, non-ASCII unescaped,
// without a trailing newline; missing directories are created. Throws FileError.
void write_state(const std::filesystem::path& path, const Json& payload);

// Holds an exclusive lock on the state file at `path` for its lifetime. Blocks while another
// process holds it (writers hold it only for one read-modify-write). Throws FileError when the
// lock file cannot be created.
class StateLock {
 public:
  explicit StateLock(const std::filesystem::path& path);
  ~StateLock();
  StateLock(const StateLock&) = delete;
  StateLock& operator=(const StateLock&) = delete;

 private:
  int fd_ = -1;
};

}  // namespace vendro::xiyou
