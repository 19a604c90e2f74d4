#pragma once
// Builds small but real xlsx workbooks for tests: the five XML parts of a one-sheet workbook in a
// stored (uncompressed) ZIP archive with correct CRC-32s, which spreadsheet programs open.

#include <string>
#include <string_view>

namespace vendro::testing {

// A workbook whose only sheet holds `cell_text` in A1.
std::string make_xlsx(std::string_view cell_text);

}  // namespace vendro::testing
