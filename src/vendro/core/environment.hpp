#pragma once
// Process environment, the configuration directory and the toolkit's own version.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vendro {

// The value of environment variable `name` when it is set and not empty.
std::optional<std::string> get_env(const char* name);

// The user's home directory: $HOME, else the password database entry.
std::filesystem::path home_dir();

// `path` with a leading "~" (alone or followed by "/") replaced by the user's home directory.
std::filesystem::path expand_home(std::string_view path);

// CONFIG_DIR: `~/.config/vendro`, replaced by $VENDRO_CONFIG_DIR when that is set. It is not
// created here; writers create what they need.
std::filesystem::path config_dir();

// The installed toolkit version, e.g. "0.1.0".
std::string get_version();

}  // namespace vendro
