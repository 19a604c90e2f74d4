#pragma once
// The update check of the command line: tells the user when the package index has a newer
// release of the toolkit than the installed one.
//
// The newest published version is cached in CONFIG_DIR/pypi_version_cache.json for a day, so the
// index is asked at most once per 24 hours and never while the cache is fresh. The check never
// fails its caller: network, file and parsing errors all end it silently, without output. It is
// synchronous and blocks for at most the fetch timeout (5 s) plus local file access. It keeps no
// state beyond the cache file; two processes racing to write the cache replace each other's file.

#include <array>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include "vendro/core/json.hpp"

namespace vendro::shared {

// The published package whose metadata is checked, and where the index serves it.
inline constexpr std::string_view UPDATE_PACKAGE_NAME = "taluno-vendro";
inline constexpr std::string_view PACKAGE_METADATA_PATH = "/pypi/taluno-vendro/json";
// Scheme and host of the package index; VENDRO_PACKAGE_INDEX_URL replaces it.
inline constexpr std::string_view DEFAULT_PACKAGE_INDEX_URL = "https://pypi.org";
inline constexpr std::string_view UPDATE_CACHE_FILE_NAME = "pypi_version_cache.json";
inline constexpr std::chrono::seconds UPDATE_CACHE_TTL{86400};
inline constexpr std::chrono::seconds UPDATE_FETCH_TIMEOUT{5};
// The package metadata is a few KiB; an endless answer stops here, well inside the timeout.
inline constexpr std::size_t UPDATE_METADATA_LIMIT = 256 << 10;

struct UpdateCheckOptions {
  // The installed version; unset means vendro::get_version().
  std::optional<std::string> current_version;
  // Where the hint goes; null means standard error, coloured when it is a terminal and NO_COLOR
  // is unset.
  std::ostream* hint_stream = nullptr;
  // Colour for `hint_stream` (ignored when hint_stream is null).
  bool colour = false;
};

// Compares the installed version with the newest published one (from a fresh cache, else from
// the index, which refreshes the cache) and prints the update hint when the installed one is
// older. Never throws and prints nothing on any failure.
void check_and_notify() noexcept;
void check_and_notify(const UpdateCheckOptions& options) noexcept;

// True exactly when `latest` is a newer version than `current` (see update_check::parse_version;
// 1.2 and 1.2.0, or 2.0.0rc1 and 2.0.0, are the same version).
bool is_newer_available(std::string_view current, std::string_view latest);

// The steps of check_and_notify, exposed for callers that need one of them and for tests.
namespace update_check {

using VersionTuple = std::array<std::uint64_t, 3>;

// "v1.2" → (1, 2, 0), "1.2.3.4" → (1, 2, 3), "1.2.3b1" → (1, 2, 0), "" → (0, 0, 0): white space
// stripped, one leading "v" dropped, at most three dot-separated pieces, a piece that is not all
// ASCII digits counts as 0, missing pieces are 0. Numbers too large saturate.
VersionTuple parse_version(std::string_view version);

// The full address of the package metadata: $VENDRO_PACKAGE_INDEX_URL (or the default index)
// followed by PACKAGE_METADATA_PATH.
std::string metadata_url();

// CONFIG_DIR/pypi_version_cache.json.
std::filesystem::path cache_file();

// The cache object when the file exists, is a JSON object with "latest_version" and a numeric
// "checked_at", and was checked less than a day ago (a time in the future counts as fresh).
// Otherwise nothing. Throws vendro::FileError only when an existing file cannot be read (also
// when it is no regular file or larger than files::SETTINGS_FILE_LIMIT), and the bounds of
// parse_json.
std::optional<Json> read_cache();

// The exact bytes written to the cache: {"latest_version": ..., "checked_at": ...} on one line,
// ", " and ": " separators, non-ASCII escaped as \uXXXX, no trailing newline. `checked_at` is Unix
// time in seconds with fraction.
std::string format_cache(std::string_view latest_version, double checked_at);

// Creates CONFIG_DIR if needed and replaces the cache atomically with `latest_version` checked
// now. Throws vendro::FileError when that fails.
void write_cache(std::string_view latest_version);

// One GET to the metadata URL (timeout UPDATE_FETCH_TIMEOUT, at most UPDATE_METADATA_LIMIT) and
// its "info" → "version" text.
// Nothing on any failure: transport error, timeout, status outside 2xx, malformed JSON, a missing
// "info" or "version", or a version that is not text. Never throws.
std::optional<std::string> fetch_latest_version();

// Writes the hint (empty line, five lines of text, empty line) to `out`: with `colour` the first
// text line is yellow, the second dim and the three steps cyan (ANSI escapes); without it, plain
// text. Control characters in the versions are dropped, so a remote answer cannot drive the
// terminal.
void print_update_hint(std::ostream& out, std::string_view current, std::string_view latest,
                       bool colour);
// The same on standard error, coloured by stderr_wants_colour().
void print_update_hint(std::string_view current, std::string_view latest);

// True when standard error is a terminal, NO_COLOR is unset and TERM is not "dumb".
bool stderr_wants_colour();

}  // namespace update_check

}  // namespace vendro::shared
