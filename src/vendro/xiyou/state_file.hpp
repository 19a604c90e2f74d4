#pragma once
// The alert de-duplication state file: one JSON object mapping each alert key to the Unix time
// (seconds, floating point) of the last alert sent under it.
//
// Concurrency: several processes may alert at once. Whoever checks the state, sends and records
// an alert holds StateLock throughout, so one alert goes out however many processes raise it at
// the same moment, and writers of different keys do not erase each other's entries. The lock is
// on the state file's directory, which exists anyway: it leaves no file of its own behind.
// Every write replaces the file atomically, so a reader sees the old or the new content, never
// a torn or empty file; only when the directory refuses the replacement is the old file written
// over in place.

#include <chrono>
#include <filesystem>

#include "vendro/core/json.hpp"

namespace vendro::xiyou {

// How long StateLock waits for another process before it gives up.
inline constexpr std::chrono::seconds STATE_LOCK_WAIT{60};

// The state at `path`: an empty map when the file is missing, not valid JSON, or not an object.
// Other read errors (a directory, no permission) throw FileError.
Json read_state(const std::filesystem::path& path);

// Replaces the file at `path` with `payload` as UTF-8 JSON, indented by 2, non-ASCII unescaped,
// without a trailing newline; missing directories are created. When the directory refuses the
// temporary file or its rename for lack of permission, the existing file is written over
// instead. Throws FileError.
void write_state(const std::filesystem::path& path, const Json& payload);

// Holds an exclusive lock (flock) on the directory of the state file at `path` for its lifetime,
// creating the directory when missing. Blocks while another process holds it, at most
// STATE_LOCK_WAIT. Throws FileError when the directory cannot be created or opened, or the wait
// runs out. Not reentrant: a second StateLock on the same directory in one process waits for the
// first.
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
