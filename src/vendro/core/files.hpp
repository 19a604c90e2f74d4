#pragma once
// File helpers. Every failure is a vendro::FileError with a Chinese message naming the path and
// the system's reason; the underlying std::filesystem_error is kept as the cause.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vendro::files {

namespace fs = std::filesystem;

// The whole content of `path` as bytes.
std::string read(const fs::path& path);

// Creates `dir` and all missing parents; an existing directory is fine.
void make_dirs(const fs::path& dir);

// Replaces `path` with `content` atomically: the bytes go to a temporary file in the same
// directory, are flushed to disk, and the temporary file is renamed over `path`. Readers see the
// old file or the new one, never a torn one. Missing parent directories are created. With `mode`
// the file gets exactly those permission bits (e.g. 0600 for credentials) before it appears.
void write_atomic(const fs::path& path, std::string_view content,
                  std::optional<fs::perms> mode = std::nullopt);

}  // namespace vendro::files
