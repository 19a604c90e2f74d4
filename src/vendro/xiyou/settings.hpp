#pragma once
// The Xiyou (西柚) settings the alert module needs: where the alert configuration lives and the
// stored Xiyou token.

#include <filesystem>
#include <string>

namespace vendro::xiyou {

inline constexpr const char* ENV_NOTIFY_PATH = "VENDRO_XIYOU_NOTIFY_PATH";
inline constexpr const char* ENV_AUTHORIZATION = "VENDRO_XIYOU_AUTHORIZATION";

struct XiyouSettings {
  // The alert configuration file; may begin with "~" (expanded by the loader).
  std::filesystem::path notify_path;
  // The stored Xiyou token (a JWT, possibly prefixed "Bearer "); empty when none is stored.
  std::string authorization;
};

// The active settings: notify_path from VENDRO_XIYOU_NOTIFY_PATH, else
// CONFIG_DIR/xiyou/notify.yaml (~/.config/vendro/xiyou/notify.yaml by default); authorization
// from VENDRO_XIYOU_AUTHORIZATION, else the "authorization" key of CONFIG_DIR/xiyou/settings.yaml.
// A settings file that is unreadable or not valid YAML throws FileError / yaml::YamlError.
XiyouSettings load_settings();

}  // namespace vendro::xiyou
