#include "vendro/sif/export.hpp"

#include "vendro/core/files.hpp"
#include "vendro/core/text.hpp"
#include "vendro/sif/errors.hpp"

namespace vendro::sif {

bool is_xlsx(std::string_view content) {
  return content.starts_with(std::string_view("PK\x03\x04", 4)) &&
         content.find("[Content_Types].xml") != std::string_view::npos;
}

namespace {

// A short, printable hint of what arrived instead of a workbook.
std::string describe(std::string_view content) {
  if (content.empty()) return "内容为空";
  std::string head = text::first_code_points(content.substr(0, 1024), 60);
  if (!text::is_valid_utf8(head)) {
    return "收到 " + std::to_string(content.size()) + " 字节的非表格数据";
  }
  return "内容开头为：" + head;
}

}  // namespace

SifExportResult save_sif_xlsx(const SaveXlsxOptions& options) {
  if (!is_xlsx(options.content)) {
    throw SifExportError("Sif 返回的不是 xlsx 表格，未保存 " + options.output_path.string() + "（" +
                         describe(options.content) + "）");
  }
  files::write_atomic(options.output_path, options.content);
  return SifExportResult{.path = options.output_path,
                         .filename = options.output_path.filename().string(),
                         .size_bytes = options.content.size()};
}

}  // namespace vendro::sif
