#include "vendro/sif/common.hpp"

#include <climits>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "vendro/core/environment.hpp"
#include "vendro/core/error.hpp"
#include "vendro/core/files.hpp"
#include "vendro/core/text.hpp"

namespace vendro::sif {

namespace fs = std::filesystem;

std::int64_t timestamp_ms() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void check_job_id(std::string_view job_id) {
  bool unsafe = job_id.empty() || job_id == "." || job_id == ".." ||
                job_id.find_first_of(std::string_view("/\\\0", 3)) != std::string_view::npos ||
                fs::path(job_id).is_absolute();
  if (job_id.size() > NAME_MAX) {
    throw InputError("任务 ID 太长：" + std::to_string(job_id.size()) + " 字节，用作目录名最多 " +
                     std::to_string(NAME_MAX) + " 字节。");
  }
  if (unsafe) {
    throw InputError("任务 ID 不能用作运行目录名：\"" + std::string(job_id) +
                     "\"。任务 ID 不能为空、\".\" 或 \"..\"，也不能包含路径分隔符（/ 或 \\）"
                     "或是绝对路径。");
  }
}

fs::path resolve_root_dir(const std::optional<std::string>& output_dir,
                          const fs::path& default_output_dir, std::string_view job_id) {
  check_job_id(job_id);
  fs::path base =
      output_dir && !output_dir->empty() ? expand_home(*output_dir) : default_output_dir;
  try {
    if (!base.is_absolute()) base = fs::current_path() / base;
    return fs::weakly_canonical(base) / fs::path(job_id);
  } catch (const fs::filesystem_error& e) {
    // A symbolic-link loop, a name too long, no permission: the operator's directory, not a bug.
    std::throw_with_nested(FileError("输出目录不可用：" + base.string() + "（" +
                                     std::strerror(e.code().value()) + "）"));
  }
}

void write_json(const fs::path& path, const Json& payload) {
  files::make_dirs(path.parent_path());
  // Serialise first so a bad payload leaves the target untouched.
  std::string text = to_pretty_json(payload);
  files::write_atomic(path, text);
}

std::vector<std::string> parse_sections(const std::vector<std::string>& value,
                                        const std::vector<std::string>& defaults,
                                        const SectionAliases& aliases) {
  if (value.empty()) return defaults;
  auto alias_of = [&](const std::string& key) -> const std::string* {
    auto it = aliases.find(key);
    return it != aliases.end() && !it->second.empty() ? &it->second : nullptr;
  };
  std::vector<std::string> result;
  for (const std::string& item : value) {
    std::size_t start = 0;
    for (;;) {
      std::size_t comma = item.find(',', start);
      std::string key = text::strip(std::string_view(item).substr(
          start, comma == std::string::npos ? std::string::npos : comma - start));
      std::string lower = text::to_lower(key);
      if (key.empty() || lower == "all") return defaults;
      const std::string* section = alias_of(key);
      if (section == nullptr) section = alias_of(lower);
      const std::string& chosen = section ? *section : key;
      if (std::find(result.begin(), result.end(), chosen) == result.end()) {
        result.push_back(chosen);
      }
      if (comma == std::string::npos) break;
      start = comma + 1;
    }
  }
  return result.empty() ? defaults : result;
}

std::vector<std::string> parse_asins(std::optional<std::string_view> value) {
  std::vector<std::string> asins;
  std::string_view rest = value.value_or("");
  for (;;) {
    std::size_t comma = rest.find(',');
    std::string piece = text::strip(rest.substr(0, comma));
    if (!piece.empty()) asins.push_back(text::to_upper(piece));
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  return asins;
}

}  // namespace vendro::sif
