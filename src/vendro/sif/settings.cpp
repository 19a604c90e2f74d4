#include "vendro/sif/settings.hpp"

#include <exception>

#include "vendro/core/environment.hpp"
#include "vendro/core/files.hpp"
#include "vendro/core/json.hpp"
#include "vendro/core/yaml.hpp"
#include "vendro/sif/common.hpp"
#include "vendro/sif/errors.hpp"

namespace vendro::sif {

namespace fs = std::filesystem;

namespace {

struct Field {
  const char* key;
  const char* env;
  std::string SifSettings::*member;
};

constexpr Field FIELDS[] = {
    {"base_url", "VENDRO_SIF_BASE_URL", &SifSettings::base_url},
    {"cookie", "VENDRO_SIF_COOKIE", &SifSettings::cookie},
    {"token", "VENDRO_SIF_TOKEN", &SifSettings::token},
    {"username", "VENDRO_SIF_USERNAME", &SifSettings::username},
    {"password", "VENDRO_SIF_PASSWORD", &SifSettings::password},
    {"output_dir", "VENDRO_SIF_OUTPUT_DIR", &SifSettings::output_dir},
};

Json read_document(const fs::path& path) {
  try {
    return yaml::load_file(path);
  } catch (const std::exception&) {
    std::throw_with_nested(SifConfigError("无法读取 Sif 配置文件：" + path.string()));
  }
}

}  // namespace

fs::path settings_path() {
  return config_dir() / "sif" / "settings.yaml";
}

SifSettings load_settings() {
  SifSettings settings;
  fs::path path = settings_path();
  std::error_code ec;
  if (fs::exists(path, ec)) {
    Json doc = read_document(path);
    if (!doc.is_null() && !doc.is_object()) {
      throw SifConfigError("Sif 配置文件格式不对，应为 键: 值 的映射：" + path.string());
    }
    for (const Field& field : FIELDS) {
      if (doc.is_null() || !doc.contains(field.key)) continue;
      const Json& value = doc[field.key];
      if (value.is_null()) continue;
      if (value.is_string()) {
        settings.*field.member = value.get<std::string>();
      } else if (value.is_number()) {
        settings.*field.member = value.dump();
      } else {
        throw SifConfigError("Sif 配置文件中 " + std::string(field.key) + " 的值应为文本：" +
                             path.string());
      }
    }
  }
  for (const Field& field : FIELDS) {
    if (auto value = get_env(field.env)) settings.*field.member = *value;
  }
  if (settings.base_url.empty()) settings.base_url = DEFAULT_BASE_URL;
  return settings;
}

void save_settings(const SifSettings& settings) {
  Json doc = Json::object();
  for (const Field& field : FIELDS) {
    const std::string& value = settings.*field.member;
    if (!value.empty()) doc[field.key] = value;
  }
  files::write_atomic(settings_path(), yaml::dump(doc), fs::perms(0600));
}

fs::path default_output_dir(const SifSettings& settings) {
  if (settings.output_dir.empty()) return home_dir() / "sif";
  return expand_home(settings.output_dir);
}

}  // namespace vendro::sif
