#pragma once
// Sif settings: where the Sif keyword service lives, the credentials used with it and where
// exports go. Stored in CONFIG_DIR/sif/settings.yaml (keys base_url, cookie, token, username,
// password, output_dir; written with mode 0600 since it holds credentials); each value can be
// overridden by its environment variable VENDRO_SIF_BASE_URL, VENDRO_SIF_COOKIE,
// VENDRO_SIF_TOKEN, VENDRO_SIF_USERNAME, VENDRO_SIF_PASSWORD, VENDRO_SIF_OUTPUT_DIR.

#include <filesystem>
#include <string>
#include <string_view>

namespace vendro::sif {

// The Sif keyword service used when nothing else is configured.
inline constexpr std::string_view DEFAULT_BASE_URL = "https://www.sif.com";

// An empty text means "not set".
struct SifSettings {
  std::string base_url{DEFAULT_BASE_URL};
  std::string cookie;    // a Cookie header value, "name=value; name2=value2"
  std::string token;     // an access token, sent as a bearer token
  std::string username;  // with `password`: account credentials sent with every request
  std::string password;
  std::string output_dir;  // where runs go; empty means default_output_dir()
};

// CONFIG_DIR/sif/settings.yaml
std::filesystem::path settings_path();

// The stored settings (defaults when the file does not exist), then the environment overrides.
// Throws SifConfigError when the file is unreadable, is not YAML, is not a mapping, or holds a
// value that is not plain text (numbers are taken as their text).
SifSettings load_settings();

// Writes `settings` to settings_path() atomically with mode 0600. Empty values are left out.
// Throws FileError.
void save_settings(const SifSettings& settings);

// Where runs go: `settings.output_dir` (a leading "~" means the home directory) when set,
// else the folder "sif" in the user's home directory.
std::filesystem::path default_output_dir(const SifSettings& settings);

}  // namespace vendro::sif
