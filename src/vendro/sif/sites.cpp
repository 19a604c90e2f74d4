#include "vendro/sif/sites.hpp"

#include <algorithm>

#include "vendro/core/text.hpp"

namespace vendro::sif {

const std::vector<std::pair<std::string, std::string>>& site_aliases() {
  static const std::vector<std::pair<std::string, std::string>> table = [] {
    // Each row: the code, then its Chinese names (country, country + "站").
    const std::vector<std::vector<std::string>> rows = {
        {"US", "USA", "美国", "美国站"},  {"UK", "GB", "英国", "英国站"},
        {"CA", "加拿大", "加拿大站"},     {"FR", "法国", "法国站"},
        {"ES", "西班牙", "西班牙站"},     {"IT", "意大利", "意大利站"},
        {"AU", "澳大利亚", "澳大利亚站"}, {"MX", "墨西哥", "墨西哥站"},
        {"AE", "阿联酋", "阿联酋站"},     {"BR", "巴西", "巴西站"},
        {"SA", "沙特", "沙特站"},         {"JP", "日本", "日本站"},
        {"DE", "德国", "德国站"},
    };
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& row : rows) {
      for (const auto& alias : row) out.emplace_back(alias, row.front());
    }
    return out;
  }();
  return table;
}

std::vector<std::string> supported_site_codes() {
  std::vector<std::string> codes;
  for (const auto& [alias, code] : site_aliases()) {
    if (std::find(codes.begin(), codes.end(), code) == codes.end()) codes.push_back(code);
  }
  std::sort(codes.begin(), codes.end());
  return codes;
}

namespace {

const std::string* lookup(const std::string& alias) {
  for (const auto& [key, code] : site_aliases()) {
    if (key == alias) return &code;
  }
  return nullptr;
}

}  // namespace

std::string normalize_site(std::optional<std::string_view> value) {
  std::string code = text::strip(value.value_or(""));
  if (code.empty()) code = "US";
  if (const std::string* found = lookup(code)) return *found;
  if (const std::string* found = lookup(text::to_upper(code))) return *found;
  std::string supported;
  for (const auto& c : supported_site_codes()) {
    if (!supported.empty()) supported += ", ";
    supported += c;
  }
  throw SifSiteNotSupportedError("不支持的 Sif 站点：" + std::string(value.value_or("")) +
                                 "，可用站点编码：" + supported);
}

}  // namespace vendro::sif
