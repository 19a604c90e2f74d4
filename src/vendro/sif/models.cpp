#include "vendro/sif/models.hpp"

namespace vendro::sif {

namespace {

Json optional_text(const std::optional<std::string>& value) {
  return value ? Json(*value) : Json(nullptr);
}

}  // namespace

Json SifExportResult::to_json() const {
  return Json{{"path", path.string()}, {"filename", filename}, {"size_bytes", size_bytes}};
}

Json exports_to_json(const SifExports& exports) {
  Json out = Json::object();
  for (const auto& [key, record] : exports) out[key] = record.to_json();
  return out;
}

Json SifRunResult::to_json() const {
  return Json{{"job_id", job_id},
              {"feature", optional_text(feature)},
              {"provider", provider},
              {"asins", asins},
              {"site", site},
              {"root_dir", root_dir},
              {"params_path", params_path},
              {"raw_path", raw_path},
              {"result_path", result_path},
              {"exports", exports_to_json(exports)},
              {"summary", summary}};
}

}  // namespace vendro::sif
