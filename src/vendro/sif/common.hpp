#pragma once
// Shared Sif run helpers: the check of the job id that names a run (vendro::build_job_id makes
// one), a millisecond clock, where a run's output directory goes, the JSON file writer, and the
// parsers of the list-valued options (sections, ASINs). Stateless; safe from any thread. Only write_json touches the disk.

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vendro/core/json.hpp"

namespace vendro::sif {

// Section alias → section name; lookups are exact, then on the lower-cased alias.
using SectionAliases = std::map<std::string, std::string, std::less<>>;

// Now, in whole milliseconds since the Unix epoch.
std::int64_t timestamp_ms();

// Throws vendro::InputError (Chinese message) unless `job_id` names exactly one directory inside
// the output directory: it must not be empty, ".", "..", absolute, hold "/", "\" or NUL, or be
// longer than a file name may be (NAME_MAX bytes).
void check_job_id(std::string_view job_id);

// The run directory: `output_dir` when present and not empty (a leading "~" means the home
// directory), else `default_output_dir` as given; made absolute against the current directory,
// canonicalised (symlinks, "." and ".." resolved; need not exist yet), then `job_id` appended.
// The job id is checked first (check_job_id). Nothing is created on disk. A directory that
// cannot be resolved (a symbolic-link loop, a name too long, no permission) throws FileError
// with the std::filesystem::filesystem_error as its cause.
std::filesystem::path resolve_root_dir(const std::optional<std::string>& output_dir,
                                       const std::filesystem::path& default_output_dir,
                                       std::string_view job_id);

// Writes `payload` to `path` as JSON (indent 2, UTF-8 unescaped, no trailing newline), creating
// missing parent directories and replacing any existing file atomically. Throws FileError.
void write_json(const std::filesystem::path& path, const Json& payload);

// The sections named by the option values: each value may hold a comma list; pieces are stripped
// and mapped through `aliases` (exact, then lower-cased; unknown pieces kept as written); repeats
// are dropped, first occurrence wins. No values, any empty piece, or a piece "all" (any case)
// give `defaults`, as does a result that ends up empty.
std::vector<std::string> parse_sections(const std::vector<std::string>& value,
                                        const std::vector<std::string>& defaults,
                                        const SectionAliases& aliases = {});

// The ASINs of a comma list: pieces stripped, empty ones skipped, upper-cased. Duplicates stay;
// nothing is validated. Absent gives an empty list.
std::vector<std::string> parse_asins(std::optional<std::string_view> value);

}  // namespace vendro::sif
