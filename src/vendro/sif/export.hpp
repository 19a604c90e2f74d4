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
  std::string_view content;           // the workbook bytes
  std::filesystem::path output_path;  // the file to write; parents are created
};

// Writes the workbook atomically (the target is either the complete file or untouched) and
// returns its record. Throws SifExportError, before touching the disk, when the content is not an
// xlsx workbook; FileError when writing fails.
SifExportResult save_sif_xlsx(const SaveXlsxOptions& options);

}  // namespace vendro::sif
