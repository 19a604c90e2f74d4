#pragma once
// Saving downloaded Sif spreadsheets. Blocking file I/O; safe from any thread as long as two
// callers do not write the same path.

#include <filesystem>
#include <string_view>

#include "vendro/sif/models.hpp"

namespace vendro::sif {

// True when `content` looks like an xlsx workbook: a ZIP archive (local file signature
// "PK\x03\x04" at the start) that holds a "[Content_Types].xml" entry.
bool is_xlsx(std::string_view content);

struct SaveXlsxOptions {
  std::filesystem::path downloaded;   // the workbook as downloaded, on the same file system
  std::filesystem::path output_path;  // where it goes; parents are created
};

// Moves the downloaded workbook into place atomically (the target is either the complete file or
// untouched) and returns its record. The workbook is checked on disk, a chunk at a time, so a
// large one never sits in memory. Throws SifExportError, before touching the target, when the
// download is not an xlsx workbook; FileError when reading or moving fails. On failure the
// downloaded file is removed.
SifExportResult save_sif_xlsx(const SaveXlsxOptions& options);

}  // namespace vendro::sif
