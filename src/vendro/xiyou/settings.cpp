#include "vendro/xiyou/settings.hpp"

#include "vendro/core/environment.hpp"
#include "vendro/core/text.hpp"
#include "vendro/core/yaml.hpp"

namespace vendro::xiyou {

XiyouSettings load_settings() {
  XiyouSettings settings;
  std::filesystem::path dir = config_dir() / "xiyou";
  settings.notify_path = get_env(ENV_NOTIFY_PATH).value_or((dir / "notify.yaml").string());
  if (auto token = get_env(ENV_AUTHORIZATION)) {
    settings.authorization = text::strip(*token);
    return settings;
  }
  std::error_code ec;
  if (std::filesystem::exists(dir / "settings.yaml", ec)) {
    Json stored = yaml::load_file(dir / "settings.yaml");
    if (stored.is_object()) {
      auto it = stored.find("authorization");
      if (it != stored.end() && it->is_string()) {
        settings.authorization = text::strip(it->get_ref<const std::string&>());
      }
    }
  }
  return settings;
}

}  // namespace vendro::xiyou
