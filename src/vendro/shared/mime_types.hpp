#pragma once
// MIME types by file-name extension: the system table (/etc/mime.types) when present, with a
// built-in fallback for the common types (xlsx, csv, json, png, jpg, pdf, zip, txt) so that
// uploads carry a sensible type on machines without that table.

#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace vendro::shared {

// The system's table.
inline constexpr const char* SYSTEM_MIME_TYPES_PATH = "/etc/mime.types";

class MimeTypes {
 public:
  // The table read from `table_path` (mime.types format: a type, then its extensions), merged
  // over the built-in fallback; a missing or unreadable file leaves only the fallback.
  static MimeTypes load(const std::filesystem::path& table_path);

  // The system table, read once per process. Safe to call from several threads.
  static const MimeTypes& system();

  // The type for the last extension of `path`'s file name ("report.XLSX" tries ".XLSX", then
  // ".xlsx"); nothing when the name has no extension or the extension is unknown.
  std::optional<std::string> guess(const std::filesystem::path& path) const;

 private:
  std::map<std::string, std::string> by_extension_;  // ".csv" -> "text/csv"
};

}  // namespace vendro::shared
