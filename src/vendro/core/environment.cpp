#include "vendro/core/environment.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace vendro {

std::optional<std::string> get_env(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

std::filesystem::path home_dir() {
  if (auto home = get_env("HOME")) return *home;
  if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
    return pw->pw_dir;
  }
  return std::filesystem::current_path();
}

std::filesystem::path expand_home(std::string_view path) {
  if (path == "~") return home_dir();
  if (path.starts_with("~/")) return home_dir() / path.substr(2);
  return std::filesystem::path(path);
}

std::filesystem::path config_dir() {
  if (auto dir = get_env("VENDRO_CONFIG_DIR")) return *dir;
  return home_dir() / ".config" / "vendro";
}

std::string get_version() {
  return VENDRO_VERSION;
}

}  // namespace vendro
