#pragma once
// File helpers. Every failure is a vendro::FileError with a Chinese message naming the path and
// the system's reason; the underlying std::filesystem_error is kept as the cause.

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vendro::files {

namespace fs = std::filesystem;

// Size bounds for reading files that come from outside, one per kind of use.
inline constexpr std::size_t SETTINGS_FILE_LIMIT = 1 << 20;   // configuration, credentials, state
inline constexpr std::size_t ARGUMENT_FILE_LIMIT = 64 << 20;  // "@FILE" and "-" arguments

// The whole content of `path` as bytes. Only a regular file is read (a symlink to one is fine):
// a directory, FIFO, device or socket is refused without blocking, and so is a file larger than
// `max_bytes`. Failures are FileErrors naming the path.
std::string read(const fs::path& path, std::size_t max_bytes);

// The first `max_bytes` (or fewer) of the regular file `path`, with the checks of `read`.
std::string read_head(const fs::path& path, std::size_t max_bytes);

// Everything on standard input up to end of file; more than `max_bytes` is a FileError. Blocks
// until the writer closes its end.
std::string read_stdin(std::size_t max_bytes);

// "1 MiB", "256 KiB", "700 字节": a size bound for messages.
std::string describe_size(std::size_t bytes);

// Creates `dir` and all missing parents; an existing directory is fine.
void make_dirs(const fs::path& dir);

// Replaces `path` with `content` atomically: the bytes go to a temporary file in the same
// directory, are flushed to disk, and the temporary file is renamed over `path`. Readers see the
// old file or the new one, never a torn one. Missing parent directories are created. With `mode`
// the file gets exactly those permission bits (e.g. 0600 for credentials) before it appears.
void write_atomic(const fs::path& path, std::string_view content,
                  std::optional<fs::perms> mode = std::nullopt);

// Puts the finished file `from` in place of `to` atomically: its bytes are flushed to disk, then
// it is renamed over `to`. Both must be on the same file system (e.g. the same directory).
void replace_with(const fs::path& from, const fs::path& to);

}  // namespace vendro::files
