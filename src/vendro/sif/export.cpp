#include "vendro/sif/export.hpp"

#include <algorithm>
#include <fstream>

#include "vendro/core/files.hpp"
#include "vendro/core/text.hpp"
#include "vendro/sif/errors.hpp"

namespace vendro::sif {

namespace {

constexpr std::string_view ZIP_SIGNATURE("PK\x03\x04", 4);
constexpr std::string_view CONTENT_TYPES = "[Content_Types].xml";

// is_xlsx for a file of any size: the signature from the head, the entry name from a scan in
// chunks that overlap by the name's length.
bool is_xlsx_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::string window;
  char chunk[1 << 16];
  bool first = true;
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    window.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (first && !window.starts_with(ZIP_SIGNATURE)) return false;
    first = false;
    if (window.find(CONTENT_TYPES) != std::string::npos) return true;
    window.erase(0, window.size() - std::min(window.size(), CONTENT_TYPES.size() - 1));
  }
  return false;
}

void remove_quietly(const std::filesystem::path& path) {
  std::error_code ec;
  std::filesystem::remove(path, ec);
}

// A short, printable hint of what arrived instead of a workbook, from its first bytes.
std::string describe(std::string_view head, std::uintmax_t size) {
  if (size == 0) return "内容为空";
  std::string start = text::first_code_points(head, 60);
  if (!text::is_valid_utf8(start)) return "收到 " + std::to_string(size) + " 字节的非表格数据";
  return "内容开头为：" + start;
}

}  // namespace

bool is_xlsx(std::string_view content) {
  return content.starts_with(ZIP_SIGNATURE) &&
         content.find(CONTENT_TYPES) != std::string_view::npos;
}

SifExportResult save_sif_xlsx(const SaveXlsxOptions& options) {
  try {
    std::error_code ec;
    std::uintmax_t size = std::filesystem::file_size(options.downloaded, ec);
    if (ec) {
      throw FileError("无法读取下载的表格：" + options.downloaded.string() + "（" + ec.message() +
                      "）");
    }
    if (!is_xlsx_file(options.downloaded)) {
      std::string head = files::read_head(options.downloaded, 1024);
      throw SifExportError("Sif 返回的不是 xlsx 表格，未保存 " + options.output_path.string() +
                           "（" + describe(head, size) + "）");
    }
    files::make_dirs(options.output_path.parent_path());
    files::replace_with(options.downloaded, options.output_path);
    return SifExportResult{.path = options.output_path,
                           .filename = options.output_path.filename().string(),
                           .size_bytes = size};
  } catch (...) {
    remove_quietly(options.downloaded);
    throw;
  }
}

}  // namespace vendro::sif
