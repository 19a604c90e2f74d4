#include "vendro/shared/mime_types.hpp"

#include <fstream>
#include <sstream>

namespace vendro::shared {

namespace {

const std::map<std::string, std::string>& fallback_types() {
  static const std::map<std::string, std::string> types = {
      {".csv", "text/csv"},
      {".jpeg", "image/jpeg"},
      {".jpg", "image/jpeg"},
      {".json", "application/json"},
      {".pdf", "application/pdf"},
      {".png", "image/png"},
      {".txt", "text/plain"},
      {".xlsx", "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet"},
      {".zip", "application/zip"},
  };
  return types;
}

std::string ascii_lower(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

}  // namespace

MimeTypes MimeTypes::load(const std::filesystem::path& table_path) {
  MimeTypes table;
  table.by_extension_ = fallback_types();
  std::ifstream in(table_path);
  std::string line;
  while (std::getline(in, line)) {
    if (auto hash = line.find('#'); hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::string type;
    if (!(words >> type)) continue;
    // A later line naming the same extension replaces an earlier one.
    for (std::string ext; words >> ext;) table.by_extension_["." + ext] = type;
  }
  return table;
}

const MimeTypes& MimeTypes::system() {
  static const MimeTypes table = load(SYSTEM_MIME_TYPES_PATH);
  return table;
}

std::optional<std::string> MimeTypes::guess(const std::filesystem::path& path) const {
  std::string ext = path.filename().extension().string();
  if (ext.empty() || ext == ".") return std::nullopt;
  if (auto it = by_extension_.find(ext); it != by_extension_.end()) return it->second;
  if (auto it = by_extension_.find(ascii_lower(ext)); it != by_extension_.end()) return it->second;
  return std::nullopt;
}

}  // namespace vendro::shared
