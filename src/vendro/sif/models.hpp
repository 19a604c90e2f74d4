#pragma once
// The records of a Sif export run: the request a command builds, one saved spreadsheet, and the
// result handed back. Plain values; copy freely.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "vendro/core/json.hpp"

namespace vendro::sif {

// One spreadsheet written to disk.
struct SifExportResult {
  std::filesystem::path path;
  std::string filename;
  std::uintmax_t size_bytes = 0;

  // {"path", "filename", "size_bytes"}
  Json to_json() const;
};

// Export key → saved spreadsheet, in the order the sections were fetched.
using SifExports = std::vector<std::pair<std::string, SifExportResult>>;

// What the caller asks of a run. Absent options stay absent: nothing is invented here.
struct SifRunRequest {
  std::vector<std::string> asins;         // used when not empty
  std::optional<std::string> asin;        // else this comma list
  std::optional<std::string> site;        // any alias; absent means "US"
  std::vector<std::string> sections;      // option values (comma lists, aliases, "all")
  std::optional<std::string> job_id;      // names the run directory; generated when absent
  std::optional<std::string> output_dir;  // where the run directory goes
  std::optional<std::string> time_piece_type;
  std::optional<std::string> time_piece_value;
  std::optional<std::string> my_asin;
  std::optional<std::int64_t> page_num;
  std::optional<std::int64_t> page_size;
  std::optional<std::string> feature;
  Json params;  // the caller's own record of the run; credentials are masked before saving
  std::optional<std::string> sif_username;
  std::optional<std::string> sif_password;
  std::optional<std::chrono::milliseconds> timeout;  // per download
  // Told about each section as its download starts ("正在下载 销量…"); default: nobody.
  std::function<void(const std::string&)> progress;
};

struct SifRunResult {
  std::string job_id;
  std::optional<std::string> feature;
  std::string provider;
  std::vector<std::string> asins;
  std::string site;
  std::string root_dir;
  std::string params_path;
  std::string raw_path;
  std::string result_path;
  SifExports exports;
  Json summary;

  // The fields in this order, with `exports` as a map of their to_json() forms.
  Json to_json() const;
};

// `exports` as a JSON map of to_json() forms, keys in order.
Json exports_to_json(const SifExports& exports);

}  // namespace vendro::sif
